// The UDP and TCP echo tests on port 87: one layout A request per round, answered with the
// reply marker at offset 8 and timed from the timestamp the answer carries back.
#include <sys/socket.h>

#include <array>

#include "client/tests.h"
#include "common/protocol.h"
#include "common/text_format.h"

namespace connchk::client {
namespace {

struct EchoFlavour {
  int socketType;
  const char* protocolLabel;  // as the round-trip line names it
};

int runEchoTest(RunContext& run, const EchoFlavour& flavour) {
  int error = 0;
  platform::Socket socket = openTestSocket(run, flavour.socketType, 0, error);
  if (!socket.valid()) return run.failStart(error);
  setAnswerTimeout(socket);
  auto server = resolveServer(run);
  if (!server) return run.failStart(0);

  server->sin_port = htons(EchoPort);
  if (!platform::connectTo(socket.fd(), *server, error)) {
    run.say(format("Ошибка соединения %i", error));
    return run.failStart(0);
  }
  logConnection(run, *server, EchoPort, platform::localPort(socket.fd()));

  const std::uint32_t length = echoRequestLength(run.params.size);
  std::array<std::uint8_t, ReceiveBufferSize> packet{};
  runRounds(run, [&] {
    buildEchoRequest(packet.data(), SendTimestamp());
    const auto sent = platform::sendBytes(socket.fd(), packet.data(), length);
    if (sent.failed()) {
      logSendFailure(run, sent.error);
      return RoundEnd::LeaveLoop;
    }
    run.say(RequestSentLine);

    const auto got = platform::receive(socket.fd(), packet.data(), packet.size());
    const std::uint64_t receivedAt = SendTimestamp();
    if (got.failed()) {
      logReceiveFailure(run, got.error);
      return RoundEnd::Next;
    }
    if (got.n == 0) {
      run.say(ServerClosedLine);
      return RoundEnd::Next;
    }
    if (hasMarker(packet.data(), static_cast<std::size_t>(got.n), layout_a::Marker, ReplyMarker)) {
      acceptAnswer(run, flavour.protocolLabel, readU64(packet.data(), layout_a::Timestamp), receivedAt);
    }
    return pauseAfterAnswer(run);
  });
  return 0;
}

}  // namespace

int EchoUdpTest(RunContext& run) { return runEchoTest(run, {SOCK_DGRAM, "IP-Клиент"}); }

int EchoTcpTest(RunContext& run) { return runEchoTest(run, {SOCK_STREAM, "TCP"}); }

}  // namespace connchk::client
