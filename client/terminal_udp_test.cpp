// The terminal exchange over UDP port 855: per round a layout B request to port 855, the first
// answer reflected unchanged to wherever it came from, and the final answer timed. The socket is
// bound to port 855 and never connected, so answers are taken from any sender.
#include <sys/socket.h>

#include <array>

#include "client/tests.h"
#include "common/protocol.h"
#include "common/text_format.h"

namespace connchk::client {

int TerminalUdpTest(RunContext& run) {
  int error = 0;
  platform::Socket socket = openTestSocket(run, SOCK_DGRAM, 0, error);
  if (!socket.valid()) return run.failStart(error);
  setAnswerTimeout(socket);
  auto server = resolveServer(run);
  if (!server) return run.failStart(0);

  // Requests and the confirmation go here; every datagram received moves it to its sender.
  sockaddr_in peer = *server;
  peer.sin_port = htons(TerminalPort);
  if (!platform::bindTo(socket.fd(), platform::anyAddress(TerminalPort), error)) {
    run.say(format("Ошибка bind %i", error));
    return run.failStart(0);
  }
  logConnection(run, *server, TerminalPort, platform::localPort(socket.fd()));

  const std::uint32_t length = terminalRequestLength(run.params.size);
  const std::uint32_t terminal = run.params.terminal;
  std::array<std::uint8_t, ReceiveBufferSize> packet{};
  runRounds(run, [&] {
    buildTerminalRequest(packet.data(), SendTimestamp(), terminal);
    peer.sin_port = htons(TerminalPort);
    const auto sent = platform::sendTo(socket.fd(), packet.data(), length, peer);
    if (sent.failed()) {
      logSendFailure(run, sent.error);
      return RoundEnd::LeaveLoop;
    }
    run.say(RequestSentLine);

    // The first answer is not examined: whatever came, from whoever sent it, goes back as it is.
    sockaddr_in from{};
    const auto first = platform::receiveFrom(socket.fd(), packet.data(), packet.size(), from);
    if (first.failed()) {
      logReceiveFailure(run, first.error);
      return RoundEnd::Next;
    }
    peer = from;
    const auto confirmed =
        platform::sendTo(socket.fd(), packet.data(), static_cast<std::size_t>(first.n), peer);
    if (confirmed.failed()) {
      logReceiveFailure(run, confirmed.error);
      return RoundEnd::Next;
    }

    const auto final = platform::receiveFrom(socket.fd(), packet.data(), packet.size(), from);
    const std::uint64_t receivedAt = SendTimestamp();
    if (final.failed()) {
      logReceiveFailure(run, final.error);
      return RoundEnd::Next;
    }
    peer = from;
    if (final.n == 0) {
      run.say(ServerClosedLine);
      return RoundEnd::Next;
    }
    // A final answer too short for its marker does not carry one, whatever the buffer still holds.
    if (hasMarker(packet.data(), static_cast<std::size_t>(final.n), layout_b::Marker, ReplyMarker)) {
      acceptAnswer(run, "TELM-UDP", readU64(packet.data(), layout_b::Timestamp), receivedAt);
    }
    return pauseAfterAnswer(run);
  });
  return 0;
}

}  // namespace connchk::client
