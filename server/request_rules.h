// What the services decide from the bytes they receive, apart from their sockets: where a
// request's marker stands, what its answer is, which terminal and port it names, and when the
// pieces of a TCP request make one request. Only received bytes are ever read.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "common/protocol.h"

namespace connchk::server {

// The UDP echo takes the marker at offset 8, or failing that at 0; the TCP echo at 8 only.
enum class EchoKind { Udp, Tcp };
std::optional<std::size_t> echoMarkerOffset(EchoKind kind, const std::uint8_t* request, std::size_t length);

// Turns a request into its answer in place (the reply marker over the request marker; same
// length) and returns true, or returns false and leaves an erroneous request untouched.
bool makeEchoAnswer(EchoKind kind, std::uint8_t* request, std::size_t length);

// The per-terminal ports are 856 to 65535: port 855 + N for terminal numbers 1 to 64680.
inline constexpr std::uint32_t LastTerminalNumber = 65535 - TerminalPort;

struct TerminalRequest {
  std::uint32_t terminal;
  std::uint16_t port;  // where the exchange answers from
};

// A layout B request with its request marker and a terminal number whose port exists; anything
// else is an erroneous request.
std::optional<TerminalRequest> readTerminalRequest(const std::uint8_t* request, std::size_t length);

// A confirmation carries the reply marker at offset 12.
bool isConfirmation(const std::uint8_t* datagram, std::size_t length);

struct RawAnswer {
  std::size_t length;                 // of the answer built at the front of the packet
  std::array<std::uint8_t, 4> source;  // named in the request's IPv4 header: where the answer goes
};

// An ICMP message (without the IP header) that is an echo request of type 8 with a valid checksum.
bool isIcmpEchoRequest(const std::uint8_t* message, std::size_t length);

// A raw datagram (with its 20-byte IPv4 header) that carries the request marker where its layout
// puts it, and for ICMP is an echo request (see isIcmpEchoRequest), gets its answer built in
// place; anything else gets none and is left untouched.
std::optional<RawAnswer> makeRawAnswer(std::uint8_t* packet, std::size_t length);

// A raw IPv6 socket gives the payload alone, without the IPv6 header. A layout C payload with the
// request marker at 8 gets its 20-byte answer built in place; with `protocol` 58 (ICMPv6) only an
// echo request (type 128) with the marker at 16 is answered, with the 28-byte message the IPv4
// responder sends (its type kept, the reply marker; the kernel fills the checksum in). Returns
// the answer's length, or nullopt and the payload untouched.
std::optional<std::size_t> makeRawIpv6Answer(std::uint8_t protocol, std::uint8_t* payload, std::size_t length);

// What the log and the statistics count for a datagram of a raw IPv6 socket: its payload and the
// 40-byte header it came behind, as an IPv4 datagram counts its own 20-byte header.
inline constexpr std::size_t Ipv6HeaderSize = 40;

// The pieces of one TCP request, gathered until it can be judged: once it holds the whole marker
// field (20 bytes), or fills the receive buffer, or its peer pauses or closes. Pieces that arrive
// together are one request, as they would be in one receive.
class PieceGatherer {
 public:
  static constexpr std::size_t Capacity = ReceiveBufferSize;

  // Where the next receive goes.
  std::span<std::uint8_t> space() { return std::span(buffer_).subspan(have_); }
  void received(std::size_t n) { have_ += n; }

  bool empty() const { return have_ == 0; }
  // Enough to judge without waiting for more.
  bool complete() const { return have_ >= layout_a::MinLength || have_ == Capacity; }

  std::uint8_t* data() { return buffer_.data(); }
  std::size_t size() const { return have_; }
  // Empties it for the next request, once the last one is judged (and its answer taken).
  void clear() { have_ = 0; }

 private:
  std::array<std::uint8_t, Capacity> buffer_{};
  std::size_t have_ = 0;
};

}  // namespace connchk::server
