// What the services decide from the bytes they receive, apart from their sockets: where a
// request's marker stands, what its answer is, which terminal and port it names, and when the
// pieces of a TCP request make one request. Only received bytes are ever read.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

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

// How the TCP echo cuts a connection's stream into requests. Requests carry no length, and a
// peer sends its next request only once it has its answer, so a request is answered as it comes:
// its first 20 bytes are judged (the request marker at 8 makes a request, replaced by the reply
// marker), and every byte after them goes straight back, however many pieces the stream cuts it
// into. A reader that reads until it has as many bytes as it sent thus gets the whole request.
// The request ends when the next one starts (once the peer has taken the whole answer, 20 fresh
// bytes with the request marker at 8), when the peer closes, or when it stays quiet after taking
// the answer. Fewer than 20 fresh bytes after a taken answer are held a moment: the start of a
// request fed in small pieces, or the last bytes of this one, which go back unchanged.
class RequestStream {
 public:
  // A request that ended: answered (as it came) or erroneous, with its whole length.
  struct Ended {
    std::size_t length;
    bool erroneous;
  };
  // A request's first bytes that stay fewer than 20 for this long are judged as they are.
  static constexpr std::chrono::milliseconds PiecePause{500};
  // Fresh bytes fewer than 20 after a taken answer are held this long before they go back as
  // the end of that answer.
  static constexpr std::chrono::milliseconds HoldPause{200};
  // An answered request whose peer has taken the answer and sent nothing more ends after this.
  static constexpr std::chrono::milliseconds EndPause{1000};

  // Bytes that arrived; `peerTookAll`: every answer byte sent so far has been taken by the peer.
  void take(const std::uint8_t* data, std::size_t n, bool peerTookAll);
  // The peer has sent nothing for `quiet`.
  void quiet(std::chrono::milliseconds quiet, bool peerTookAll);
  // The peer has closed its side: what is held is judged, and the open request ends.
  void closed();

  // The answer bytes due now; the caller sends them (or keeps them to send) and empties this.
  std::vector<std::uint8_t>& toSend() { return out_; }
  // The requests that ended since the last call, in order.
  std::vector<Ended> takeEnded() { return std::exchange(ended_, {}); }

  bool open() const { return open_; }
  bool holding() const { return !held_.empty(); }

 private:
  void decide(bool peerTookAll);
  void sendHeld();

  std::vector<std::uint8_t> held_;  // bytes not yet judged
  std::vector<std::uint8_t> out_;
  std::vector<Ended> ended_;
  bool open_ = false;        // a request is being answered as it comes
  std::size_t length_ = 0;  // of the open request, so far
};

}  // namespace connchk::server
