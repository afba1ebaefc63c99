// The raw IP and ICMP tests. Both send on raw IPv4 sockets and receive every datagram of their
// protocol that reaches the host, header first, until one ends the round: the raw test waits for
// the server's 20-byte answer (reply marker at 28), the ICMP test for an echo reply that carries
// its own request marker back (at 36).
#include <sys/socket.h>

#include <array>
#include <functional>
#include <optional>

#include "client/tests.h"
#include "common/protocol.h"
#include "common/text_format.h"

namespace connchk::client {
namespace {

using Packet = std::array<std::uint8_t, ReceiveBufferSize>;

// What a received datagram means to the round: nothing (receive again) or how the round ends.
using Examine = std::function<std::optional<RoundEnd>(std::size_t length, std::uint64_t receivedAt)>;

// The wait for an answer. Every datagram's sender becomes the peer that the next request goes to.
// A time-out or an empty datagram ends the round at once, another receive error after the pause;
// a datagram that `examine` passes over leads to a new receive with the full time-out, unless Stop
// was asked for meanwhile (a host that keeps sending other traffic would otherwise hold the run).
RoundEnd awaitAnswer(RunContext& run, const platform::Socket& socket, Packet& packet, sockaddr_in& peer,
                     const Examine& examine) {
  for (;;) {
    sockaddr_in from{};
    const auto got = platform::receiveFrom(socket.fd(), packet.data(), packet.size(), from);
    const std::uint64_t receivedAt = SendTimestamp();
    if (got.failed()) {
      logReceiveFailure(run, got.error);
      return platform::isTimeout(got.error) ? RoundEnd::Next : pauseAfterAnswer(run);
    }
    peer = from;
    if (got.n == 0) {
      run.say(ServerClosedLine);
      return RoundEnd::Next;
    }
    if (const auto end = examine(static_cast<std::size_t>(got.n), receivedAt)) return *end;
    if (run.stopRequested()) return RoundEnd::LeaveLoop;
  }
}

// "Протокол №P" in the round-trip line.
std::string protocolLabel(unsigned protocol) { return format("№%u", protocol); }

}  // namespace

IcmpRequestCounter& IcmpRequestCounter::process() {
  static IcmpRequestCounter counter;
  return counter;
}

int RawIpTest(RunContext& run) {
  const unsigned protocol = run.params.protocol;
  int error = 0;
  platform::Socket socket = openTestSocket(run, SOCK_RAW, static_cast<int>(protocol), error);
  if (!socket.valid()) return run.failStart(error);
  setAnswerTimeout(socket);
  auto peer = resolveServer(run);
  if (!peer) return run.failStart(0);

  const std::uint32_t length = rawRequestLength(run.params.size);
  Packet packet{};
  constexpr std::size_t markerAt = IpHeaderSize + layout_a::Marker;
  constexpr std::size_t timestampAt = IpHeaderSize + layout_a::Timestamp;
  runRounds(run, [&] {
    buildEchoRequest(packet.data(), SendTimestamp());
    const auto sent = platform::sendTo(socket.fd(), packet.data(), length, *peer);
    if (sent.failed()) {
      logSendFailure(run, sent.error);
      return RoundEnd::LeaveLoop;
    }
    run.say(RequestSentLine);

    return awaitAnswer(run, socket, packet, *peer, [&](std::size_t n, std::uint64_t receivedAt) {
      std::optional<RoundEnd> end;
      if (hasMarker(packet.data(), n, markerAt, ReplyMarker)) {
        acceptAnswer(run, protocolLabel(protocol), readU64(packet.data(), timestampAt), receivedAt);
        end = pauseAfterAnswer(run);
      }
      return end;
    });
  });
  return 0;
}

int IcmpEchoTest(RunContext& run) {
  const unsigned protocol = run.params.protocol;
  int error = 0;
  // A receiving socket that cannot be opened is reported as its bind failure, with the code of
  // the call that failed.
  platform::Socket receiving = platform::openSocket(SOCK_RAW, static_cast<int>(protocol), error);
  if (!receiving.valid() || !platform::bindTo(receiving.fd(), platform::anyAddress(0), error)) {
    run.say(format("Ошибка bind %i", error));
    return run.failStart(-1);
  }
  platform::Socket sending = openTestSocket(run, SOCK_RAW, static_cast<int>(protocol), error);
  if (!sending.valid()) return run.failStart(error);
  setAnswerTimeout(receiving);
  auto peer = resolveServer(run);
  if (!peer) return run.failStart(0);

  Packet packet{};
  runRounds(run, [&] {
    const std::uint16_t identifier = IcmpRequestCounter::process().take();
    buildIcmpEchoRequest(packet.data(), identifier, SendTimestamp());
    const auto sent = platform::sendTo(sending.fd(), packet.data(), layout_d::Length, *peer);
    if (sent.failed()) {
      logSendFailure(run, sent.error);
      return RoundEnd::LeaveLoop;
    }
    run.say(format("Отослан запрос к серверу (%d)", static_cast<int>(static_cast<std::uint16_t>(identifier + 1))));

    return awaitAnswer(run, receiving, packet, *peer, [&](std::size_t n, std::uint64_t receivedAt) {
      std::optional<RoundEnd> end;
      const std::uint8_t ipProtocol = n > IpProtocolOffset ? packet[IpProtocolOffset] : 0;
      if (!hasMarker(packet.data(), n, rawMarkerOffset(ipProtocol), RequestMarker)) return end;
      // A request is never an answer; a raw socket also sees the host's own requests to itself.
      const std::uint8_t type = packet[IpHeaderSize + layout_d::Type];
      if (type == layout_d::EchoRequest) return end;
      // Any other datagram with our marker ends the round; only our own echo reply is timed.
      if (type == layout_d::EchoReply && readU16(packet.data(), IpHeaderSize + layout_d::Identifier) == identifier) {
        acceptAnswer(run, protocolLabel(protocol), readU64(packet.data(), rawTimestampOffset(ipProtocol)),
                     receivedAt);
      }
      end = pauseAfterAnswer(run);
      return end;
    });
  });
  return 0;
}

}  // namespace connchk::client
