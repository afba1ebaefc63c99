// The protocol types a client can test, in the order of the window's list.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace connchk::client {

struct ProtocolType {
  const char* text;
  std::uint32_t number;  // IP protocol number
  const char* shortName; // ASCII name for options, metrics and JSON ("udp", "raw53", ...)
};

std::span<const ProtocolType> ProtocolCatalogue();

inline constexpr int IcmpIndex = 0;
inline constexpr int UdpEchoIndex = 1;  // "IP-Клиент"
inline constexpr int TerminalUdpIndex = 13;  // "TELM-UDP"
inline constexpr int DefaultProtocolIndex = UdpEchoIndex;

// The list index of a type given by its exact text or by its index "0".."14".
std::optional<int> findProtocolType(const std::string& textOrIndex);

}  // namespace connchk::client
