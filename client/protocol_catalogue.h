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
inline constexpr int TcpEchoIndex = 14;  // "TCP (порт 87)"
inline constexpr int DefaultProtocolIndex = UdpEchoIndex;

// True for the types that send on raw sockets: ICMP and the raw IP types.
bool usesRawSocket(int index);

// A type as an operator may name it: its catalogue text; its list index 0 to 14; its short name
// in any letter case ("udp", "TCP", "raw53"), "terminal" for "telm-udp"; or, for a raw IP type, its
// protocol number (53, 55, 56, 110 to 117). Numbers below 15 are always list indices, as in the
// window's list; 17 names two types (IP-Клиент and TELM-UDP) and is refused with a hint.
struct ProtocolLookup {
  std::optional<int> index;
  std::string error;  // what went wrong, when index is empty
};
ProtocolLookup lookUpProtocolType(const std::string& name);

// The list index of a type named as lookUpProtocolType accepts it.
std::optional<int> findProtocolType(const std::string& name);

}  // namespace connchk::client
