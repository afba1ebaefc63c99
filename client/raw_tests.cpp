// The raw IP and ICMP tests. Both send on raw IPv4 sockets and receive every datagram of their
// protocol that reaches the host, header first, until this request's answer comes from the server's
// host or the round's deadline passes: the raw test waits for the server's 20-byte answer (reply
// marker at 28), the ICMP test for the echo reply that carries its own request back (marker at
// 36). Whatever else comes is passed over; requests always go to the server's address.
#include <sys/socket.h>

#include <array>
#include <functional>

#include "client/answer_identity.h"
#include "client/tests.h"
#include "common/platform/socket_wait.h"
#include "common/protocol.h"
#include "common/text_format.h"

namespace connchk::client {
namespace {

using Packet = std::array<std::uint8_t, ReceiveBufferSize>;

// "Протокол №P" in the round-trip line.
std::string protocolLabel(unsigned protocol) { return format("№%u", protocol); }

// Waits for the datagram from the server's host that `isAnswer` recognises, and ends the round.
RoundEnd awaitRawAnswer(RunContext& run, int fd, const sockaddr_in& server, const std::string& label,
                        const std::function<bool(const std::uint8_t*, std::size_t)>& isAnswer) {
  Packet received{};
  const Awaited answer = awaitDatagram(run, fd, received.data(), received.size(),
                                       [&](std::size_t n, const sockaddr_in& from) {
                                         return from.sin_addr.s_addr == server.sin_addr.s_addr &&
                                                        isAnswer(received.data(), n)
                                                    ? Verdict::Take
                                                    : Verdict::PassOver;
                                       });
  if (answer.kind == Awaited::Kind::Taken) return run.answerAccepted(label, answer.at);
  return roundWithout(run, answer);
}

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
  const auto server = resolveServer(run);
  if (!server) return run.failStart(0);

  const std::uint32_t length = rawRequestLength(run.params.size);
  Packet request{};
  runRounds(run, [&] {
    buildEchoRequest(request.data(), run.takeSendTime());
    const auto sent = platform::sendTo(socket.fd(), request.data(), length, *server);
    if (sent.failed()) return run.roundWithoutAnswer(RoundResult::SendError, sent.error);
    run.requestSent(RequestSentLine);
    return awaitRawAnswer(run, socket.fd(), *server, protocolLabel(protocol),
                          [&](const std::uint8_t* received, std::size_t n) {
                            return isRawAnswer(request.data(), received, n);
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
  platform::setNonBlocking(receiving.fd(), error);
  platform::Socket sending = openTestSocket(run, SOCK_RAW, static_cast<int>(protocol), error);
  if (!sending.valid()) return run.failStart(error);
  const auto server = resolveServer(run);
  if (!server) return run.failStart(0);

  std::array<std::uint8_t, layout_d::Length> request{};
  runRounds(run, [&] {
    const std::uint16_t identifier = IcmpRequestCounter::process().take();
    buildIcmpEchoRequest(request.data(), identifier, run.takeSendTime());
    const auto sent = platform::sendTo(sending.fd(), request.data(), request.size(), *server);
    if (sent.failed()) return run.roundWithoutAnswer(RoundResult::SendError, sent.error);
    run.requestSent(format("Отослан запрос к серверу (%d)", static_cast<int>(static_cast<std::uint16_t>(identifier + 1))));
    // The server's own ICMP answer (type 8, reply marker) and the host's own requests to itself
    // are not echo replies, and a reply to an earlier request carries another identity.
    return awaitRawAnswer(run, receiving.fd(), *server, protocolLabel(protocol),
                          [&](const std::uint8_t* received, std::size_t n) {
                            return isIcmpEchoReply(request.data(), received, n);
                          });
  });
  return 0;
}

}  // namespace connchk::client
