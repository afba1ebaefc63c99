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

// Letter case folded for ASCII only; Cyrillic texts are matched as they are.
std::string asciiLower(const std::string& text) {
  std::string out = text;
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::optional<unsigned> smallNumber(const std::string& text) {
  if (text.empty() || text.size() > 3) return std::nullopt;
  unsigned value = 0;
  for (const char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return value;
}
}  // namespace

std::span<const ProtocolType> ProtocolCatalogue() { return Catalogue; }

bool usesRawSocket(int index) {
  return index >= 0 && index < static_cast<int>(Catalogue.size()) && index != UdpEchoIndex &&
         index != TerminalUdpIndex && index != TcpEchoIndex;
}

ProtocolLookup lookUpProtocolType(const std::string& name) {
  const std::string folded = asciiLower(name);
  for (std::size_t i = 0; i < Catalogue.size(); ++i) {
    if (name == Catalogue[i].text || folded == asciiLower(Catalogue[i].text) || folded == Catalogue[i].shortName) {
      return {static_cast<int>(i), {}};
    }
  }
  if (folded == "terminal") return {TerminalUdpIndex, {}};
  if (const auto number = smallNumber(name)) {
    if (*number < Catalogue.size()) return {static_cast<int>(*number), {}};
    if (*number == 17) return {std::nullopt, "17 is the number of both udp (IP-Клиент) and telm-udp: name one of them"};
    for (std::size_t i = 0; i < Catalogue.size(); ++i) {
      if (usesRawSocket(static_cast<int>(i)) && Catalogue[i].number == *number) return {static_cast<int>(i), {}};
    }
  }
  return {std::nullopt, "unknown protocol type '" + name + "' (see --list-protocols)"};
}

std::optional<int> findProtocolType(const std::string& name) { return lookUpProtocolType(name).index; }

}  // namespace connchk::client
