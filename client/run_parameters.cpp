#include "client/run_parameters.h"

#include <cctype>
#include <climits>

#include "client/protocol_catalogue.h"

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
std::optional<std::uint32_t> parseBounded(const std::string& text, std::uint32_t low, std::uint32_t high) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  std::uint32_t value = 0;
  for (const char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (value < low || value > high) return std::nullopt;
  return value;
}
}  // namespace

std::optional<std::uint32_t> parseSize(const std::string& text) {
  return parseBounded(text, MinPacketSize, MaxPacketSize);
}

std::optional<std::uint32_t> parseTerminal(const std::string& text) {
  return parseBounded(text, MinTerminal, MaxTerminal);
}

TestKind chooseTest(std::uint8_t protocol, int protocolIndex) {
  switch (protocol) {
    case 1:
      return TestKind::IcmpEcho;
    case 17:
      return protocolIndex == UdpEchoIndex ? TestKind::EchoUdp : TestKind::TerminalUdp;
    case 6:
      return TestKind::EchoTcp;
    default:
      return TestKind::RawIp;
  }
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
