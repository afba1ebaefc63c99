#include "server/protocol_names.h"

#include <array>

namespace connchk::server {

namespace {
constexpr std::array<ProtocolName, 14> Table{{
    {1, "ICMP"},
    {53, "ВЕЛТ-IP"},
    {110, "ВЕЛТ-IP Поток 1"},
    {111, "ВЕЛТ-IP Поток 2"},
    {112, "ВЕЛТ-IP Поток 3"},
    {113, "ВЕЛТ-IP Поток 4"},
    {114, "ВЕЛТ-IP Поток 5"},
    {115, "ВЕЛТ-IP Поток 6"},
    {116, "ВЕЛТ-IP Поток 7"},
    {117, "ВЕЛТ-IP Поток 8"},
    {56, "ВЕЛТ-IP RADM"},
    {55, "TELM-IP"},
    {17, "TELM-UDP"},
    {17, "IP-Клиент"},
}};
}  // namespace

std::span<const ProtocolName> ProtocolNameTable() { return Table; }

std::optional<std::string> protocolName(std::uint32_t number) {
  for (const auto& pair : Table) {
    if (pair.number == number) return std::string(pair.name);
  }
  return std::nullopt;
}

}  // namespace connchk::server
