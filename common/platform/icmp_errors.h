// ICMP and ICMPv6 error messages about a datagram this host sent (time exceeded, destination
// unreachable, fragmentation needed / packet too big, parameter problem), read as values: who sent
// the error, what it says, the MTU it reports, and what it quotes of the datagram it is about.
//
// Two ways in, one value out:
// - a raw listener (openIcmpErrorListener, CAP_NET_RAW) sees every error that reaches the host and
//   parses the message with its quoted IP header (parseIcmpError);
// - the error queue of one's own socket (enableErrorQueue, IP_RECVERR / IPV6_RECVERR) needs no right
//   and holds only the errors about that socket's datagrams; the kernel hands what it matched and
//   the quoted bytes after the IP header (readErrorQueue fills the same value).
// The parsers are pure functions over received bytes: nothing is read past what was received.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/platform/address.h"
#include "common/platform/net.h"

namespace connchk::platform {

enum class IcmpErrorKind {
  TimeExceeded,      // IPv4 type 11, ICMPv6 type 3
  Unreachable,       // IPv4 type 3 (but code 4), ICMPv6 type 1
  PacketTooBig,      // IPv4 type 3 code 4 (fragmentation needed), ICMPv6 type 2, or the host's own refusal
  ParameterProblem,  // IPv4 type 12, ICMPv6 type 4
};

// What an error quotes of the datagram it is about.
struct QuotedDatagram {
  std::uint8_t protocol = 0;  // IPv4 protocol, or the IPv6 next header past any extension headers
  Address source;             // with the source port for UDP and TCP (0 where not quoted)
  Address destination;        // with the destination port likewise
  // The quoted bytes that follow the IP header (and extension headers): the transport header and
  // as much data as the sender of the error quoted (RFC 792 asks for 8 bytes, Linux quotes more).
  std::vector<std::uint8_t> transport;
  bool portsQuoted = false;  // the first 4 transport bytes were there (UDP and TCP only)
};

struct IcmpError {
  IcmpErrorKind kind = IcmpErrorKind::Unreachable;
  Family family = Family::IPv4;
  std::uint8_t type = 0;  // as on the wire, of its family
  std::uint8_t code = 0;
  Address offender;       // the router or host that sent it (port 0); our own address when local
  bool local = false;     // this host refused the datagram itself (a send larger than the path MTU)
  // PacketTooBig: the MTU it reports; nullopt when the sender left it 0 (old routers).
  std::optional<std::uint32_t> mtu;
  QuotedDatagram quoted;
};

// An ICMP (IPv4) or ICMPv6 message that starts at its type byte, received from `offender`.
// nullopt when it is not one of the error kinds above or is too short to quote an IP header of
// its family (a quoted IPv4 header with its IHL, or the 40-byte IPv6 header).
std::optional<IcmpError> parseIcmpError(Family family, std::span<const std::uint8_t> message, const Address& offender);

// What a raw IPv4 socket receives: the IPv4 header (of the length its IHL says) and the message.
std::optional<IcmpError> parseIcmpErrorDatagram(std::span<const std::uint8_t> datagram, const Address& offender);

// The reason in words, for an operator: "время жизни истекло", "административно запрещено",
// "порт недоступен", "нужна фрагментация (MTU 1400)" and the like.
std::string icmpErrorReason(const IcmpError& error);

// A raw socket of the family that receives ICMP errors (ICMPv6: a filter passes only the four error
// types). Needs CAP_NET_RAW; without it the error is the refusal, with a text that names the right.
Result<Socket> openIcmpErrorListener(Family family);

// What one read of ICMP errors found: an error (`out` filled), another message that is no error of
// ours to read (echo replies, unparsable bytes), or nothing pending. A receive that failed otherwise
// is the Result's error.
enum class ErrorRead { Error, Other, NothingLeft };

// One message from a listener without waiting.
Result<ErrorRead> readIcmpError(int fd, Family family, IcmpError& out);

// IP_RECVERR or IPV6_RECVERR on a socket of `family`: ICMP errors about its datagrams are queued
// for readErrorQueue and no longer end a connected socket's receive with an error code alone.
Status enableErrorQueue(int fd, Family family);

// One error from the socket's error queue without waiting. The quoted source and destination come
// from the socket and the kernel (ports included for UDP and TCP); `transport` holds the bytes after
// the IP header as the kernel hands them: for UDP the header is rebuilt from those ports, its
// checksum 0, in front of the payload the kernel gives. An error of the host itself (a send over
// the known path MTU) comes as local, with the MTU and the host's own address as offender.
Result<ErrorRead> readErrorQueue(int fd, IcmpError& out);

}  // namespace connchk::platform
