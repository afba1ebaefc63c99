#include "client/run_parameters.h"

#include <cctype>
#include <climits>

#include "client/protocol_catalogue.h"
#include "common/text_format.h"

namespace connchk::client {

std::int32_t parseCountText(const std::string& text) {
  if (text == InfiniteCountText) return -1;
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) value = -value;
  if (value > INT_MAX) value = INT_MAX;
  return static_cast<std::int32_t>(value);
}

namespace {

// Lower case for ASCII and the Cyrillic letters U+0400 to U+042F in UTF-8; other bytes stay.
std::string foldCase(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
    if (c >= 'A' && c <= 'Z') {
      out += static_cast<char>(c + ('a' - 'A'));
    } else if (c == 0xD0 && next >= 0x80 && next <= 0xAF) {
      // U+0400..U+040F become U+0450..U+045F (D1 90..9F), U+0410..U+041F become U+0430..U+043F
      // (D0 B0..BF), U+0420..U+042F become U+0440..U+044F (D1 80..8F).
      if (next < 0x90) {
        out += {static_cast<char>(0xD1), static_cast<char>(next + 0x10)};
      } else if (next < 0xA0) {
        out += {static_cast<char>(0xD0), static_cast<char>(next + 0x20)};
      } else {
        out += {static_cast<char>(0xD1), static_cast<char>(next - 0x20)};
      }
      ++i;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace

std::optional<std::int32_t> parseCountOption(const std::string& text) {
  if (text == "-1" || foldCase(text) == foldCase(InfiniteCountText)) return -1;
  if (text.empty() || text.size() > 10) return std::nullopt;
  long long value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > INT_MAX) return std::nullopt;
  return static_cast<std::int32_t>(value);
}

bool addressTooLong(const std::string& address) { return characterCount(address) > MaxAddressLength; }

std::size_t characterCount(const std::string& text) { return utf8Characters(text); }

std::optional<std::uint32_t> parseWholeNumber(const std::string& text, std::uint32_t low, std::uint32_t high) {
  const auto value = parseDigits(text, 9);
  if (!value || *value < low || *value > high) return std::nullopt;
  return value;
}

std::optional<std::uint32_t> parseSize(const std::string& text) {
  return parseWholeNumber(text, MinPacketSize, MaxPacketSize);
}

std::optional<std::uint32_t> parseTerminal(const std::string& text) {
  return parseWholeNumber(text, MinTerminal, MaxTerminal);
}

TestKind chooseTest(std::uint8_t protocol, int protocolIndex) {
  // The selected type, when it carries that number; otherwise the one type that carries it, and a
  // number of no type of the list is sent as raw IP.
  if (const ProtocolDescriptor* type = protocolTypeAt(protocolIndex); type && type->number == protocol) return type->way;
  const auto numbered = typesNumbered(protocol);
  return numbered.size() == 1 ? numbered[0]->way : TestKind::RawIp;
}

const char* testKindName(TestKind kind) {
  switch (kind) {
    case TestKind::IcmpEcho: return "ICMP echo";
    case TestKind::EchoUdp: return "UDP echo";
    case TestKind::TerminalUdp: return "terminal exchange";
    case TestKind::EchoTcp: return "TCP echo";
    case TestKind::RawIp: return "raw IP";
  }
  return "?";
}

}  // namespace connchk::client
