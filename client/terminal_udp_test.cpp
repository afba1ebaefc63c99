// The terminal exchange over UDP port 855: per round a layout B request to port 855 of the server,
// its first answer (from the server's address, any port: 855 + N is expected) reflected unchanged
// to where it came from, and the final answer from there timed. The socket is bound to port 855
// and not connected, so whatever reaches that port is judged: datagrams from other addresses, and
// answers that do not carry this request's send time, are passed over and never answered. The
// server's address stays the one resolved at the start.
#include <sys/socket.h>

#include <array>

#include "client/answer_identity.h"
#include "client/tests.h"
#include "common/platform/sockets.h"
#include "common/protocol.h"
#include "common/text_format.h"

namespace connchk::client {

int TerminalUdpTest(RunContext& run) {
  const auto resolved = resolveServer(run);
  if (!resolved) return 0;
  const platform::Address server = resolved->withPort(TerminalPort);
  // Port 855 on the way's address, where the run names one.
  platform::Result<platform::Socket> opened = openTestSocket(run, server.family(), SOCK_DGRAM, 0, TerminalPort);
  if (!opened) return run.outcome.exitCode;
  const platform::Socket socket = std::move(*opened);
  logConnection(run, server, platform::localPort(socket.fd()));

  const std::uint32_t length = terminalRequestLength(run.params.size);
  const std::uint32_t terminal = run.params.terminal;
  std::array<std::uint8_t, ReceiveBufferSize> request{};
  std::array<std::uint8_t, ReceiveBufferSize> received{};
  runRounds(run, [&] {
    buildTerminalRequest(request.data(), run.takeSendTime(), terminal);
    const auto sent = platform::sendTo(socket.fd(), request.data(), length, server);
    if (!sent) return run.roundWithoutAnswer(RoundResult::SendError, sent.code());
    run.requestSent(RequestSentLine);

    // The first answer: from the server's address, carrying this request's send time.
    const Awaited first = awaitDatagram(run, socket.fd(), received.data(), received.size(),
                                        [&](std::size_t n, const platform::Address& from) {
                                          return platform::sameHost(from, server) &&
                                                         isTerminalAnswer(request.data(), received.data(), n)
                                                     ? Pick::Take
                                                     : Pick::PassOver;
                                        });
    if (first.kind != Awaited::Kind::Taken) return roundWithout(run, first);

    // The confirmation: the first answer back, byte for byte, to where it came from. A failed
    // send is told as a failed receive, by the same rule.
    const auto confirmed = platform::sendTo(socket.fd(), received.data(), first.length, first.from);
    if (!confirmed) {
      return confirmed.timedOut()
                 ? run.roundWithoutAnswer(RoundResult::TimedOut)
                 : run.roundWithoutAnswer(RoundResult::ReceiveError, confirmed.code());
    }

    // The final answer: from the same address and port, carrying the send time again.
    const Awaited final = awaitDatagram(run, socket.fd(), received.data(), received.size(),
                                        [&](std::size_t n, const platform::Address& from) {
                                          if (from != first.from) return Pick::PassOver;
                                          if (n == 0) return Pick::Empty;
                                          return isTerminalAnswer(request.data(), received.data(), n)
                                                     ? Pick::Take
                                                     : Pick::PassOver;
                                        });
    if (final.kind == Awaited::Kind::Taken) return run.answerAccepted("TELM-UDP", final.at);
    return roundWithout(run, final);
  });
  return 0;
}

}  // namespace connchk::client
