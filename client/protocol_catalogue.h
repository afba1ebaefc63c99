// The protocol types a client can test, in the order of the window's list (common/protocol_types.h
// holds the table), and how an operator may name one.
#pragma once

#include <optional>
#include <span>
#include <string>

#include "common/protocol_types.h"

namespace connchk::client {

using ProtocolType = ProtocolDescriptor;

inline std::span<const ProtocolType> ProtocolCatalogue() { return ProtocolTypes; }

inline constexpr int IcmpIndex = protocolType("icmp").listIndex;
inline constexpr int UdpEchoIndex = protocolType("udp").listIndex;           // "IP-Клиент"
inline constexpr int TerminalUdpIndex = protocolType("telm-udp").listIndex;  // "TELM-UDP"
inline constexpr int TcpEchoIndex = protocolType("tcp").listIndex;           // "TCP (порт 87)"
inline constexpr int DefaultProtocolIndex = UdpEchoIndex;

// True for the types that send on raw sockets: ICMP and the raw IP types.
bool usesRawSocket(int index);

// A type as an operator may name it: its catalogue text; its list index 0 to 14; its short name
// in any letter case ("udp", "TCP", "raw53"), "terminal" for "telm-udp"; or its protocol number
// where that names one type alone (53, 55, 56, 110 to 117). Numbers below 15 are always list
// indices, as in the window's list; 17 names two types (IP-Клиент and TELM-UDP) and is refused
// with a hint.
struct ProtocolLookup {
  std::optional<int> index;
  std::string error;  // what went wrong, when index is empty
};
ProtocolLookup lookUpProtocolType(const std::string& name);

// The list index of a type named as lookUpProtocolType accepts it.
std::optional<int> findProtocolType(const std::string& name);

}  // namespace connchk::client
