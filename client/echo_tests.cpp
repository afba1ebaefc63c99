// The UDP and TCP echo tests on port 87: one layout A request per round, answered with the same
// bytes and the reply marker at offset 8. Only the answer that carries this request's send time
// counts; over TCP the answer is read as a stream until all its bytes have come.
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <array>
#include <cstring>

#include "client/answer_identity.h"
#include "client/paced_rounds.h"
#include "client/tests.h"
#include "common/platform/socket_wait.h"
#include "common/platform/sockets.h"
#include "common/protocol.h"
#include "common/text_format.h"

namespace connchk::client {
namespace {

using Packet = std::array<std::uint8_t, ReceiveBufferSize>;

// The longest wait for a TCP connection; Stop is heard meanwhile.
constexpr int ConnectTimeoutMs = 5000;

// Opens the socket, connects it to port 87 of the server (a UDP socket thereby takes datagrams
// from that address and port only) and logs the connection line. An invalid socket when the run
// cannot go on; run.outcome.exitCode is then the procedure's (0 when stopped).
platform::Socket connectToEchoPort(RunContext& run, int type) {
  const auto resolved = resolveServer(run);
  if (!resolved) return {};
  const platform::Address server = resolved->withPort(EchoPort);
  platform::Result<platform::Socket> opened = openTestSocket(run, server.family(), type, 0);
  if (!opened) return {};
  platform::Socket socket = std::move(*opened);
  const platform::Connecting connecting =
      platform::connectWithin(socket.fd(), server, ConnectTimeoutMs, run.stopEvent());
  const platform::ConnectEnd end = connecting.end;
  if (end == platform::ConnectEnd::Stopped) {
    run.outcome.stopped = true;
    return {};
  }
  if (end == platform::ConnectEnd::Failed) {
    const int error = connecting.error.code;
    const std::string line = format("Ошибка соединения %i", error);
    run.say(line);
    // Refused, reset, unreachable or timed out is the path's doing; anything else this host's.
    run.failStart(0, {error == ETIMEDOUT ? "connect-timeout" : "connect-failed", line, !isPathError(error)});
    return {};
  }
  logConnection(run, server, platform::localPort(socket.fd()));
  return socket;
}

// Bytes still in the stream from earlier rounds (the rest of an oversized or late answer) go
// before a new request, so that they are never read as its answer. Bounded, for a peer that
// never stops sending.
void discardLeftovers(int fd) {
  Packet scrap;
  for (int i = 0; i < 32; ++i) {
    const auto got = platform::receive(fd, scrap.data(), scrap.size(), platform::Wait::Now);
    if (!got || *got == 0) return;
  }
}

// Reads the stream until the whole answer to `request` (as many bytes as were sent, counted from
// where its send time and reply marker stand) has come, the deadline passes, or the server closes.
// Bytes in front of the answer are not part of it and are dropped.
RoundEnd awaitStreamAnswer(RunContext& run, int fd, const std::uint8_t* request, std::size_t length) {
  std::array<std::uint8_t, 2 * ReceiveBufferSize> stream;
  std::size_t have = 0;
  for (;;) {
    const int left = run.msLeft();
    if (left <= 0) return run.roundWithoutAnswer(RoundResult::TimedOut);
    if (platform::waitReadable(fd, run.stopEvent(), left) == platform::WaitResult::Stopped) {
      return run.roundWithoutAnswer(RoundResult::Stopped);
    }
    // The stamp of a stream's receive is that of the last segment it read. The answer is taken at
    // the receive that completes it, so that is the segment that brought its last bytes; only
    // bytes after it in the same read (a peer that sends more than asked) would make it later,
    // and so the round trip longer, never shorter. Without a stamp the receive's return stands.
    platform::ReceiveTime time;
    const auto got = platform::receive(fd, stream.data() + have, std::min(ReceiveBufferSize, stream.size() - have),
                                       platform::Wait::Block, time);
    if (got.timedOut()) continue;
    if (!got) return run.roundWithoutAnswer(RoundResult::ReceiveError, got.code());
    if (*got == 0) return run.roundWithoutAnswer(RoundResult::Closed);
    have += *got;

    if (const auto at = findEchoAnswer(request, stream.data(), have)) {
      std::memmove(stream.data(), stream.data() + *at, have - *at);
      have -= *at;
      if (have >= length) return run.answerAccepted("TCP", receivedAt(run, time));
      continue;
    }
    // Nothing of this answer yet: keep only what may be the start of its head.
    const std::size_t keep = std::min(have, layout_a::MinLength - 1);
    std::memmove(stream.data(), stream.data() + have - keep, keep);
    have = keep;
    if (run.stopRequested()) return run.roundWithoutAnswer(RoundResult::Stopped);
  }
}

}  // namespace

int EchoUdpTest(RunContext& run) {
  const platform::Socket socket = connectToEchoPort(run, SOCK_DGRAM);
  if (!socket.valid()) return run.outcome.exitCode;

  const std::uint32_t length = echoRequestLength(run.params.size);
  Packet request{};
  if (run.params.paced) {
    runPacedRounds(run, socket.fd(),
                   PacedTest{"IP-Клиент",
                             [&](std::uint64_t identity, std::string&) {
                               buildEchoRequest(request.data(), identity);
                               return platform::sendBytes(socket.fd(), request.data(), length);
                             },
                             [](const std::uint8_t* received, std::size_t n, const platform::Address&) {
                               return echoAnswerTime(received, n);
                             },
                             true});
    return 0;
  }
  Packet received{};
  runRounds(run, [&] {
    buildEchoRequest(request.data(), run.takeSendTime());
    const auto sent = platform::sendBytes(socket.fd(), request.data(), length);
    if (!sent) return run.roundWithoutAnswer(RoundResult::SendError, sent.code());
    run.requestSent(RequestSentLine);

    const Awaited answer = awaitDatagram(run, socket.fd(), received.data(), received.size(),
                                         [&](std::size_t n, const platform::Address&) {
                                           if (n == 0) return Pick::Empty;
                                           if (isEchoAnswer(request.data(), received.data(), n)) return Pick::Take;
                                           if (const auto time = echoAnswerTime(received.data(), n)) {
                                             run.strayAnswer(*time);
                                           }
                                           return Pick::PassOver;
                                         });
    if (answer.kind == Awaited::Kind::Taken) return run.answerAccepted("IP-Клиент", answer.at);
    return roundWithout(run, answer);
  });
  return 0;
}

int EchoTcpTest(RunContext& run) {
  const platform::Socket socket = connectToEchoPort(run, SOCK_STREAM);
  if (!socket.valid()) return run.outcome.exitCode;

  const std::uint32_t length = echoRequestLength(run.params.size);
  Packet request{};
  runRounds(run, [&] {
    discardLeftovers(socket.fd());
    buildEchoRequest(request.data(), run.takeSendTime());
    const auto sent = sendRequest(run, socket.fd(), request.data(), length);
    if (!sent && run.stopRequested()) return run.roundWithoutAnswer(RoundResult::Stopped);
    if (!sent) return run.roundWithoutAnswer(RoundResult::SendError, sent.code());
    run.requestSent(RequestSentLine);
    return awaitStreamAnswer(run, socket.fd(), request.data(), length);
  });
  // What the path cost TCP: a lossy path shows here, while its answers only come late.
  run.outcome.tcpRetransmissions = platform::tcpRetransmissions(socket.fd());
  return 0;
}

}  // namespace connchk::client
