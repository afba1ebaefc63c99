// A socket for ICMP or ICMPv6 echo, with or without the right to open raw sockets.
//
// A raw socket (SOCK_RAW, IPPROTO_ICMP or IPPROTO_ICMPV6) needs CAP_NET_RAW. Without it Linux
// offers an ICMP datagram socket (SOCK_DGRAM, same protocols) to the users whose group lies in
// net.ipv4.ping_group_range (one setting for both families, per network namespace); ping runs
// that way without rights. The two kinds differ in what the caller sees:
// - Receiving: a raw IPv4 socket gives every ICMP message that reaches the host, IPv4 header first
//   (headerBytes() = 20), the host's own requests to itself included. A raw IPv6 socket gives the
//   ICMPv6 message without the IPv6 header; this one lets only echo requests and replies through
//   (no neighbour discovery). A datagram socket gives only the echo replies to its own requests,
//   without an IP header, and reports an ICMP error about a request as a failed receive
//   (EHOSTUNREACH and the like) rather than as a message.
// - Sending: through a datagram socket only an echo request (type 8 or 128, code 0) may go, and the
//   kernel writes the identifier and the checksum itself: every request carries the socket's
//   identifier (echoIdentifier), whatever the caller put there; sequence and data go unchanged.
//   The identifier can be chosen once per socket with bindEchoIdentifier. On raw sockets the
//   caller's identifier goes out as written, the IPv4 checksum is the caller's and the ICMPv6
//   checksum is always the kernel's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "common/platform/address.h"
#include "common/platform/net.h"

namespace connchk::platform {

enum class EchoSocketKind { Raw, Datagram };

struct IcmpEchoSocket {
  Socket socket;
  Family family = Family::IPv4;
  EchoSocketKind kind = EchoSocketKind::Raw;

  // Bytes in front of the ICMP header in what a receive gives.
  std::size_t headerBytes() const { return family == Family::IPv4 && kind == EchoSocketKind::Raw ? 20 : 0; }
};

// A raw socket where the right allows, otherwise a datagram socket where ping_group_range
// allows. When neither opens, the error's text names the right or the setting that is missing
// (CAP_NET_RAW, or the user's group in net.ipv4.ping_group_range, with its value); its code is
// then the raw socket's refusal (EPERM), the right that was asked for first.
Result<IcmpEchoSocket> openIcmpEchoSocket(Family family);

// Datagram socket: makes every request through it carry `identifier`, in the byte order the
// echo layout stores it (readU16 of the message gives it back). Identifier 0 cannot be asked for
// (it lets the kernel choose), nor one that another ICMP socket of the namespace holds
// (EADDRINUSE); a socket keeps the identifier it got first. Raw socket: nothing to do.
Status bindEchoIdentifier(const IcmpEchoSocket& socket, std::uint16_t identifier);

// Datagram socket: the identifier its requests carry, as the echo layout stores it; nullopt
// before the first bind or send (when the kernel has not chosen one yet) and on raw sockets.
std::optional<std::uint16_t> echoIdentifier(const IcmpEchoSocket& socket);

// For a responder's raw ICMPv6 socket: lets only echo requests through (no neighbour discovery,
// no replies).
Status passOnlyEchoRequests(int fd);

}  // namespace connchk::platform
