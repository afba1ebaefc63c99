#include "client/protocol_catalogue.h"

#include <array>
#include <cctype>

namespace connchk::client {

namespace {
constexpr std::array<ProtocolType, 15> Catalogue{{
    {"ICMP", 1, "icmp"},
    {"IP-Клиент", 17, "udp"},
    {"ВЕЛТ-IP", 53, "raw53"},
    {"ВЕЛТ-IP Поток 1", 110, "raw110"},
    {"ВЕЛТ-IP Поток 2", 111, "raw111"},
    {"ВЕЛТ-IP Поток 3", 112, "raw112"},
    {"ВЕЛТ-IP Поток 4", 113, "raw113"},
    {"ВЕЛТ-IP Поток 5", 114, "raw114"},
    {"ВЕЛТ-IP Поток 6", 115, "raw115"},
    {"ВЕЛТ-IP Поток 7", 116, "raw116"},
    {"ВЕЛТ-IP Поток 8", 117, "raw117"},
    {"ВЕЛТ-IP RADM", 56, "raw56"},
    {"TELM-IP", 55, "raw55"},
    {"TELM-UDP", 17, "telm-udp"},
    {"TCP (порт 87)", 6, "tcp"},
}};
}  // namespace

std::span<const ProtocolType> ProtocolCatalogue() { return Catalogue; }

std::optional<int> findProtocolType(const std::string& textOrIndex) {
  for (std::size_t i = 0; i < Catalogue.size(); ++i) {
    if (textOrIndex == Catalogue[i].text) return static_cast<int>(i);
  }
  if (textOrIndex.empty() || textOrIndex.size() > 2) return std::nullopt;
  for (const char c : textOrIndex) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
  }
  const int index = std::stoi(textOrIndex);
  if (index < 0 || index >= static_cast<int>(Catalogue.size())) return std::nullopt;
  return index;
}

}  // namespace connchk::client
