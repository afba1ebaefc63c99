// The protocol types both programs know, one descriptor each: the client's list, the server's
// services and counters, the metrics labels and the operator's short names are all made from
// this table. The list order is the window's; the service order is the server's start-up order
// (the raw responders by protocol number, then the UDP echo, the TCP echo and the terminal
// exchange), which also orders its counters and its window's table.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "common/protocol.h"

namespace connchk {

// How a type is tested by the client and answered by the server.
enum class TestWay { IcmpEcho, EchoUdp, TerminalUdp, EchoTcp, RawIp };

// What the client needs beyond an ordinary user's rights to test a type.
enum class ClientRight {
  None,
  RawSockets,  // CAP_NET_RAW (ICMP also runs without it where the user's group may echo)
  LowPort,     // CAP_NET_BIND_SERVICE: the terminal exchange binds UDP port 855 on the client too
};

struct ProtocolDescriptor {
  const char* text;          // the list's text, also the server's name in its start lines
  std::uint32_t number;      // IP protocol number
  const char* shortName;     // ASCII name for options, metrics, JSON and completion ("udp", "raw53")
  int listIndex;             // place in the client's list
  TestWay way;
  std::uint16_t port;        // UDP or TCP port the server listens on; 0 for raw IP and ICMP
  ClientRight right;
  std::size_t serviceSlot;   // the server's service (and counters) for this type
};

// In list order (listIndex is the position, checked below).
inline constexpr std::array<ProtocolDescriptor, 15> ProtocolTypes{{
    {"ICMP", 1, "icmp", 0, TestWay::IcmpEcho, 0, ClientRight::RawSockets, 0},
    {"IP-Клиент", 17, "udp", 1, TestWay::EchoUdp, EchoPort, ClientRight::None, 12},
    {"ВЕЛТ-IP", 53, "raw53", 2, TestWay::RawIp, 0, ClientRight::RawSockets, 1},
    {"ВЕЛТ-IP Поток 1", 110, "raw110", 3, TestWay::RawIp, 0, ClientRight::RawSockets, 4},
    {"ВЕЛТ-IP Поток 2", 111, "raw111", 4, TestWay::RawIp, 0, ClientRight::RawSockets, 5},
    {"ВЕЛТ-IP Поток 3", 112, "raw112", 5, TestWay::RawIp, 0, ClientRight::RawSockets, 6},
    {"ВЕЛТ-IP Поток 4", 113, "raw113", 6, TestWay::RawIp, 0, ClientRight::RawSockets, 7},
    {"ВЕЛТ-IP Поток 5", 114, "raw114", 7, TestWay::RawIp, 0, ClientRight::RawSockets, 8},
    {"ВЕЛТ-IP Поток 6", 115, "raw115", 8, TestWay::RawIp, 0, ClientRight::RawSockets, 9},
    {"ВЕЛТ-IP Поток 7", 116, "raw116", 9, TestWay::RawIp, 0, ClientRight::RawSockets, 10},
    {"ВЕЛТ-IP Поток 8", 117, "raw117", 10, TestWay::RawIp, 0, ClientRight::RawSockets, 11},
    {"ВЕЛТ-IP RADM", 56, "raw56", 11, TestWay::RawIp, 0, ClientRight::RawSockets, 3},
    {"TELM-IP", 55, "raw55", 12, TestWay::RawIp, 0, ClientRight::RawSockets, 2},
    {"TELM-UDP", 17, "telm-udp", 13, TestWay::TerminalUdp, TerminalPort, ClientRight::LowPort, 14},
    {"TCP (порт 87)", 6, "tcp", 14, TestWay::EchoTcp, EchoPort, ClientRight::None, 13},
}};

// The type with this short name; at compile time, a name not in the table does not compile.
constexpr const ProtocolDescriptor& protocolType(std::string_view shortName) {
  for (const ProtocolDescriptor& type : ProtocolTypes) {
    if (shortName == type.shortName) return type;
  }
  throw "no protocol type of that short name";
}

// The type at list index `index`, or nullptr.
constexpr const ProtocolDescriptor* protocolTypeAt(int index) {
  return index >= 0 && index < static_cast<int>(ProtocolTypes.size()) ? &ProtocolTypes[static_cast<std::size_t>(index)]
                                                                      : nullptr;
}

// The type the server's service `slot` answers.
constexpr const ProtocolDescriptor& protocolTypeOfService(std::size_t slot) {
  for (const ProtocolDescriptor& type : ProtocolTypes) {
    if (type.serviceSlot == slot) return type;
  }
  throw "no service in that slot";
}

// True for the types sent on raw sockets: ICMP and the raw IP types.
constexpr bool sentRaw(const ProtocolDescriptor& type) {
  return type.way == TestWay::RawIp || type.way == TestWay::IcmpEcho;
}

// The types that carry IP protocol number `number`. One number may name two types: 17 is both
// the UDP echo and the terminal exchange, which share UDP; every reader of a number asks here.
std::vector<const ProtocolDescriptor*> typesNumbered(std::uint32_t number);

namespace protocol_types_checks {
constexpr bool wellFormed() {
  for (std::size_t i = 0; i < ProtocolTypes.size(); ++i) {
    if (ProtocolTypes[i].listIndex != static_cast<int>(i)) return false;
    if (protocolTypeOfService(ProtocolTypes[i].serviceSlot).listIndex != static_cast<int>(i)) return false;
    if (ProtocolTypes[i].serviceSlot >= ProtocolTypes.size()) return false;
  }
  return true;
}
static_assert(wellFormed(), "list indices in order, one type per service slot");
}  // namespace protocol_types_checks

}  // namespace connchk
