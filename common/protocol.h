// The request/answer protocol both programs speak: markers, ports, time-outs, the byte layouts of
// every test mode, the send timestamp, the ICMP checksum and the round-trip text.
// Everything here is a pure function over byte buffers, so clients, servers and tests share it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace connchk {

using Marker = std::array<std::uint8_t, 12>;

// Eight 0xFF bytes, then "CLIQ" (request) or "CLIR" (answer).
inline constexpr Marker RequestMarker{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 'C', 'L', 'I', 'Q'};
inline constexpr Marker ReplyMarker{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 'C', 'L', 'I', 'R'};

inline constexpr std::uint16_t EchoPort = 87;
inline constexpr std::uint16_t TerminalPort = 855;
inline constexpr int ReceiveTimeout = 5000;      // ms, on every socket a client test reads answers from
inline constexpr int RequestPauseMs = 1000;      // pause after a received answer
inline constexpr std::size_t ReceiveBufferSize = 2048;  // every receive asks for at most this much
// The server's UDP echo and raw services take every datagram whole, however large the link lets it
// be (an IPv4 datagram is at most 65535 bytes with its header): a request cut to ReceiveBufferSize
// would be answered short, and a client measuring the largest request would see a false limit.
inline constexpr std::size_t MaxDatagramSize = 65536;

inline constexpr std::size_t MarkerSize = 12;
inline constexpr std::size_t TimestampSize = 8;
inline constexpr std::size_t IpHeaderSize = 20;  // raw receives: the header is always taken as 20 bytes
inline constexpr std::uint8_t IcmpProtocol = 1;

// Layout A (echo over UDP/TCP) and layout C (raw IP payload): timestamp at 0, marker at 8.
namespace layout_a {
inline constexpr std::size_t Timestamp = 0;
inline constexpr std::size_t Marker = 8;
inline constexpr std::size_t MinLength = 20;
}  // namespace layout_a

// Layout B (terminal exchange): timestamp at 0, terminal number at 8, marker at 12.
namespace layout_b {
inline constexpr std::size_t Timestamp = 0;
inline constexpr std::size_t Terminal = 8;
inline constexpr std::size_t Marker = 12;
inline constexpr std::size_t MinLength = 24;  // the packet length L; the request is L + 8 bytes
}  // namespace layout_b

// Layout D (ICMP echo), 28 bytes.
namespace layout_d {
inline constexpr std::size_t Type = 0;
inline constexpr std::size_t Code = 1;
inline constexpr std::size_t Checksum = 2;
inline constexpr std::size_t Identifier = 4;
inline constexpr std::size_t Sequence = 6;
inline constexpr std::size_t Timestamp = 8;
inline constexpr std::size_t Marker = 16;
inline constexpr std::size_t Length = 28;
inline constexpr std::uint8_t EchoRequest = 8;
inline constexpr std::uint8_t EchoReply = 0;
}  // namespace layout_d

// Little-endian fields inside payloads.
void putU16(std::uint8_t* buf, std::size_t offset, std::uint16_t value);
void putU32(std::uint8_t* buf, std::size_t offset, std::uint32_t value);
void putU64(std::uint8_t* buf, std::size_t offset, std::uint64_t value);
std::uint16_t readU16(const std::uint8_t* buf, std::size_t offset);
std::uint32_t readU32(const std::uint8_t* buf, std::size_t offset);
std::uint64_t readU64(const std::uint8_t* buf, std::size_t offset);

void putMarker(std::uint8_t* buf, std::size_t offset, const Marker& marker);

// True when `marker` stands at `offset` and the whole field lies within the `length` bytes that
// were received: bytes past the end of a receive never count as part of it.
bool hasMarker(const std::uint8_t* buf, std::size_t length, std::size_t offset, const Marker& marker);

// The current system time as 100-ns intervals since 1601-01-01 00:00 UTC.
std::uint64_t SendTimestamp();

// RFC 1071 checksum over `length` bytes read as host-order 16-bit words; 0xFFFF for length <= 0.
std::uint16_t InternetChecksum(const std::uint8_t* buf, int length);

// "%d:%02d.%03d" (minutes, seconds, milliseconds) of t1 - t0, both in 100-ns units.
std::string RoundTripText(std::uint64_t t0, std::uint64_t t1);

// Request lengths for a requested size: layout A and raw requests carry at least their whole
// marker (20 bytes); layout B packets are at least 24 bytes and the request is 8 bytes longer.
std::uint32_t echoRequestLength(std::uint32_t size);
std::uint32_t rawRequestLength(std::uint32_t size);
std::uint32_t terminalRequestLength(std::uint32_t size);
// ICMP echo: the message is padded to the size, as ping pads its data, but never shorter than the
// 28 bytes of layout D.
std::uint32_t icmpRequestLength(std::uint32_t size);

// Writes the defined fields of a request; filler bytes are left as the buffer holds them.
void buildEchoRequest(std::uint8_t* buf, std::uint64_t timestamp);  // layouts A and C
void buildTerminalRequest(std::uint8_t* buf, std::uint64_t timestamp, std::uint32_t terminal);
// `length` is the whole message (at least 28): the checksum covers the filler as well.
void buildIcmpEchoRequest(std::uint8_t* buf, std::uint16_t identifier, std::uint64_t timestamp,
                          std::size_t length = layout_d::Length);

// ICMPv6 echo (next header 58) follows layout D: the same 28 bytes, offsets and identifier rule,
// with types 128 (request) and 129 (reply). The kernel computes ICMPv6 checksums (they cover an
// IPv6 pseudo-header), so the builders leave the checksum 0. IPv6 raw and ICMP datagram sockets
// deliver the message without an IP header: the fields stand at the layout D offsets.
inline constexpr std::uint8_t Icmpv6Protocol = 58;
namespace layout_d6 {
inline constexpr std::uint8_t EchoRequest = 128;
inline constexpr std::uint8_t EchoReply = 129;
}  // namespace layout_d6

void buildIcmpv6EchoRequest(std::uint8_t* buf, std::uint16_t identifier, std::uint64_t timestamp);

// Server side: builds the answer to a received ICMPv6 echo message (no header in front) in place,
// as the IPv4 answer is built: type, identifier, sequence and timestamp kept, code 0,
// ReplyMarker at 16. Returns 28.
std::size_t buildIcmpv6Answer(std::uint8_t* buf);

// The fields of a received echo message of either family, read from `length` bytes that start
// at its ICMP header; nullopt when `marker` does not stand wholly at layout_d::Marker.
struct IcmpEchoFields {
  std::uint8_t type = 0;
  std::uint16_t identifier = 0;
  std::uint64_t timestamp = 0;
};
std::optional<IcmpEchoFields> readIcmpEcho(const std::uint8_t* message, std::size_t length, const Marker& marker);

// Raw receives start with the IPv4 header; these read it at its fixed 20-byte size.
inline constexpr std::size_t IpProtocolOffset = 9;
inline constexpr std::size_t IpSourceOffset = 12;

// Where a raw datagram's marker and timestamp stand: ICMP offsets when the header's protocol byte
// is 1, layout C offsets otherwise.
std::size_t rawMarkerOffset(std::uint8_t ipProtocol);
std::size_t rawTimestampOffset(std::uint8_t ipProtocol);

// Server side: builds the answer to a raw request in place at the front of `buf`, which holds the
// received datagram with its IPv4 header. Returns the answer length (28 for ICMP, 20 otherwise).
std::size_t buildRawAnswer(std::uint8_t* buf);

// Layout E: the account query and its answer, over TCP or UDP port 87. The client names requests
// it sent by their identity (the 8 send-time bytes at their timestamp offset) and the server tells,
// for each, whether it received it and what it looked like on arrival. Both carry markers of their
// own at offset 8, so an original server takes a query as an erroneous request (neither marker is
// the request marker at 8 or 0) and an original client never takes an answer for an echo answer.
//
//   query:  0 query time (8)  8 AccountQueryMarker (12)  20 version  21 count N  22 reserved (2)
//           24 N identities of 8 bytes, then padding (zero) that the server does not read
//   answer: 0 query time (8)  8 AccountAnswerMarker (12)  20 version  21 count N  22 reserved (2)
//           24 N entries of 40 bytes, in the order of the query's identities
//
// Over UDP the server answers only a query at least as long as its answer (the client pads it),
// so the service can never be used to send more than it received.
inline constexpr Marker AccountQueryMarker{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 'C', 'L', 'A', 'Q'};
inline constexpr Marker AccountAnswerMarker{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 'C', 'L', 'A', 'A'};
namespace layout_e {
inline constexpr std::size_t QueryTime = 0;
inline constexpr std::size_t Marker = 8;
inline constexpr std::size_t Version = 20;
inline constexpr std::size_t Count = 21;
inline constexpr std::size_t HeaderLength = 24;
inline constexpr std::size_t IdentitySize = 8;
inline constexpr std::size_t EntrySize = 40;
inline constexpr std::size_t MaxIdentities = 64;
inline constexpr std::uint8_t CurrentVersion = 1;
// An entry: identity (8), flags (1), service (1), IP protocol (1), TTL or hop limit (1), TOS or
// traffic class (1), reserved (1), size (2), source port (2), reserved (2), source address (16,
// an IPv4 address in its mapped form ::ffff:a.b.c.d), milliseconds since arrival (4).
inline constexpr std::uint8_t FlagArrived = 1;
inline constexpr std::uint8_t FlagTtlKnown = 2;
inline constexpr std::uint8_t FlagTosKnown = 4;
inline constexpr std::uint8_t FlagIpv6 = 8;
// What fits one UDP receive of ReceiveBufferSize bytes once the query is padded to its answer.
inline constexpr std::size_t MaxIdentitiesOverUdp = (ReceiveBufferSize - HeaderLength) / EntrySize;  // 50
}  // namespace layout_e

// Which service received a request, as the account tells it.
enum class AccountService : std::uint8_t { None = 0, UdpEcho = 1, TcpEcho = 2, Terminal = 3, Raw = 4 };

// One request as the server's account tells it. Without `arrived` only the identity means anything.
struct RequestArrival {
  std::uint64_t identity = 0;
  bool arrived = false;
  AccountService service = AccountService::None;
  std::uint8_t protocol = 0;  // the IP protocol it came in: 17, 6, or the raw number (1, 58, 53, ...)
  int ttl = -1;               // TTL or hop limit on arrival; -1 when the server could not see it
  int tos = -1;               // TOS or traffic class byte on arrival; -1 when unknown
  std::uint16_t size = 0;     // as the server's log counts it
  bool ipv6 = false;
  std::array<std::uint8_t, 16> address{};  // source as seen, network order; IPv4 in the first 4
  std::uint16_t port = 0;                  // source port as seen (0 for raw and ICMP)
  std::uint32_t ageMs = 0;                 // how long before the answer it arrived
  bool operator==(const RequestArrival&) const = default;
};

struct AccountQuery {
  std::uint64_t queryTime = 0;
  std::vector<std::uint64_t> identities;
};
struct AccountAnswer {
  std::uint64_t queryTime = 0;
  std::vector<RequestArrival> entries;
};

std::size_t accountQueryLength(std::size_t identities);   // unpadded
std::size_t accountAnswerLength(std::size_t identities);

// At most MaxIdentities identities (more are not written). `padTo` lengthens the query with zero
// bytes (a UDP query is padded to its answer's length).
std::vector<std::uint8_t> writeAccountQuery(std::uint64_t queryTime, std::span<const std::uint64_t> identities,
                                            std::size_t padTo = 0);
// A query: the marker at 8, a version the reader knows, 1 to 64 identities, all received.
std::optional<AccountQuery> readAccountQuery(const std::uint8_t* bytes, std::size_t length);
// How many bytes a TCP reader must hold before it can judge what starts with `bytes`: 0 when it is
// no account query (judged as any request is), else the header's or the whole query's length.
std::size_t accountQueryNeeds(const std::uint8_t* bytes, std::size_t length);

std::vector<std::uint8_t> writeAccountAnswer(std::uint64_t queryTime, std::span<const RequestArrival> entries);
// An answer: the marker at 8, a known version, 1 to 64 entries, all received.
std::optional<AccountAnswer> readAccountAnswer(const std::uint8_t* bytes, std::size_t length);

}  // namespace connchk
