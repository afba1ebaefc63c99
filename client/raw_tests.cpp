// The raw IP and ICMP tests. Both send on raw sockets of the server's family and receive every
// datagram of their protocol that reaches the host until this request's answer comes from the
// server's host or the round's deadline passes: the raw test waits for the server's 20-byte answer
// (reply marker at 8 of the payload), the ICMP test for the echo reply that carries its own request
// back (request marker at 16 of the ICMP message). An IPv4 raw receive starts with the 20-byte IPv4
// header; an IPv6 raw receive, and any receive of an ICMP datagram socket, starts at the payload.
// Whatever else comes is passed over; requests always go to the server's address.
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <functional>
#include <optional>
#include <vector>

#include "client/answer_identity.h"
#include "client/paced_rounds.h"
#include "client/tests.h"
#include "common/platform/icmp_socket.h"
#include "common/platform/socket_wait.h"
#include "common/platform/sockets.h"
#include "common/protocol.h"
#include "common/text_format.h"

namespace connchk::client {
namespace {

using Packet = std::array<std::uint8_t, ReceiveBufferSize>;
using platform::Family;

// "Протокол №P" in the round-trip line.
std::string protocolLabel(unsigned protocol) { return format("№%u", protocol); }

// An ICMP request's line names it by its identifier, counted from 1.
std::string icmpSentLine(std::uint16_t identifier) {
  return format("Отослан запрос к серверу (%d)", static_cast<int>(static_cast<std::uint16_t>(identifier + 1)));
}

using Recognise = std::function<bool(const std::uint8_t*, std::size_t)>;
using AnswerTime = std::function<std::optional<std::uint64_t>(const std::uint8_t*, std::size_t)>;

// Waits for the datagram from the server's host that `isAnswer` recognises, and ends the round.
// An answer from there to an earlier request (`answerTime` reads its identity) is counted as a
// duplicate or a late answer.
RoundEnd awaitRawAnswer(RunContext& run, int fd, const platform::Address& server, const std::string& label,
                        const Recognise& isAnswer, const AnswerTime& answerTime) {
  Packet received{};
  const Awaited answer = awaitDatagram(run, fd, received.data(), received.size(),
                                       [&](std::size_t n, const platform::Address& from) {
                                         if (!platform::sameHost(from, server)) return Pick::PassOver;
                                         if (isAnswer(received.data(), n)) return Pick::Take;
                                         if (const auto time = answerTime(received.data(), n)) run.strayAnswer(*time);
                                         return Pick::PassOver;
                                       });
  if (answer.kind == Awaited::Kind::Taken) return run.answerAccepted(label, answer.at);
  return roundWithout(run, answer);
}

// The ICMP echo socket of the server's family: raw where the right allows, otherwise the datagram
// socket that the system grants without it (said once). When neither opens, the failure is
// reported as the bind failure it always was, with the code of the raw socket's refusal, and for
// a missing right the line that names the right and the setting.
// The run's way out and TTL go on it as on every test socket.
std::optional<platform::IcmpEchoSocket> openEchoSocket(RunContext& run, Family family) {
  auto echo = platform::openIcmpEchoSocket(family);
  if (!echo) {
    const platform::Error& why = echo.error();
    const std::string line = format("Ошибка bind %i", why.code);
    run.say(line);
    const bool noRight = why.code == EPERM || why.code == EACCES;
    if (noRight) run.say(why.text);
    run.failStart(-1, {noRight ? "no-raw-right" : "socket-error", noRight ? why.text : line, true});
    return std::nullopt;
  }
  if (echo->kind == platform::EchoSocketKind::Datagram) {
    run.say("Нет права на raw-сокеты: ICMP через непривилегированный сокет");
  }
  // Neither can fail on a socket just opened with an in-range value; a failure would only leave
  // the socket blocking (each wait comes first) or the class unset, so the run goes on.
  (void)platform::setNonBlocking(echo->socket.fd());
  platform::askForReceiveStamps(echo->socket.fd());
  if (!takeWayOut(run, echo->socket.fd(), family, 0)) return std::nullopt;
  if (run.params.tos >= 0) (void)platform::setTrafficClass(echo->socket.fd(), family, run.params.tos);
  return std::move(*echo);
}

}  // namespace

IcmpRequestCounter& IcmpRequestCounter::process() {
  static IcmpRequestCounter counter;
  return counter;
}

int RawIpTest(RunContext& run) {
  const unsigned protocol = run.params.protocol();
  const auto server = resolveServer(run);
  if (!server) return 0;
  platform::Result<platform::Socket> opened = openTestSocket(run, server->family(), SOCK_RAW, static_cast<int>(protocol));
  if (!opened) return run.outcome.exitCode;
  const platform::Socket socket = std::move(*opened);
  logWayOut(run, *server);
  const bool behindIpv4Header = server->family() == Family::IPv4;

  const std::uint32_t length = rawRequestLength(run.params.size);
  Packet request{};
  if (run.params.paced) {
    runPacedRounds(run, socket.fd(),
                   PacedTest{protocolLabel(protocol),
                             [&](std::uint64_t identity, std::string&) {
                               buildEchoRequest(request.data(), identity);
                               return platform::sendTo(socket.fd(), request.data(), length, *server);
                             },
                             [&](const std::uint8_t* received, std::size_t n, const platform::Address& from) {
                               if (!platform::sameHost(from, *server)) return std::optional<std::uint64_t>();
                               return behindIpv4Header ? rawAnswerTime(received, n) : echoAnswerTime(received, n);
                             }});
    return 0;
  }
  runRounds(run, [&] {
    buildEchoRequest(request.data(), run.takeSendTime());
    const auto sent = platform::sendTo(socket.fd(), request.data(), length, *server);
    if (!sent) return run.roundWithoutAnswer(RoundResult::SendError, sent.code());
    run.requestSent(RequestSentLine);
    return awaitRawAnswer(run, socket.fd(), *server, protocolLabel(protocol),
                          [&](const std::uint8_t* received, std::size_t n) {
                            return behindIpv4Header ? isRawAnswer(request.data(), received, n)
                                                    : isEchoAnswer(request.data(), received, n);
                          },
                          behindIpv4Header ? AnswerTime(rawAnswerTime) : AnswerTime(echoAnswerTime));
  });
  return 0;
}

int IcmpEchoTest(RunContext& run) {
  const unsigned protocol = run.params.protocol();
  const auto server = resolveServer(run);
  if (!server) return 0;
  const auto echo = openEchoSocket(run, server->family());
  if (!echo) return -1;
  logWayOut(run, *server);
  const int fd = echo->socket.fd();
  const bool six = server->family() == Family::IPv6;

  // The message padded to the size with zero filler, as ping pads its data.
  std::vector<std::uint8_t> request(icmpRequestLength(run.params.size), 0);
  if (run.params.paced) {
    // Replies are told apart by the send time they carry, whichever identifier they bear.
    const std::uint8_t replyType = six ? layout_d6::EchoReply : layout_d::EchoReply;
    runPacedRounds(run, fd,
                   PacedTest{protocolLabel(protocol),
                             [&](std::uint64_t identity, std::string& sentLine) {
                               const std::uint16_t identifier = IcmpRequestCounter::process().take();
                               if (six) {
                                 buildIcmpv6EchoRequest(request.data(), identifier, identity);
                               } else {
                                 buildIcmpEchoRequest(request.data(), identifier, identity, request.size());
                               }
                               sentLine = icmpSentLine(identifier);
                               return platform::sendTo(fd, request.data(), request.size(), *server);
                             },
                             [&](const std::uint8_t* received, std::size_t n, const platform::Address& from) {
                               if (!platform::sameHost(from, *server)) return std::optional<std::uint64_t>();
                               return echo->headerBytes() > 0 ? icmpEchoReplyTime(received, n)
                                                              : echoReplyMessageTime(received, n, replyType);
                             }});
    return 0;
  }
  runRounds(run, [&] {
    const std::uint16_t identifier = IcmpRequestCounter::process().take();
    if (six) {
      buildIcmpv6EchoRequest(request.data(), identifier, run.takeSendTime());
    } else {
      buildIcmpEchoRequest(request.data(), identifier, run.takeSendTime(), request.size());
    }
    const auto sent = platform::sendTo(fd, request.data(), request.size(), *server);
    if (!sent) return run.roundWithoutAnswer(RoundResult::SendError, sent.code());
    run.requestSent(icmpSentLine(identifier));
    // Through a datagram socket the request left with the socket's identifier in place of the
    // counter's, and its reply carries that one.
    const std::uint16_t replyIdentifier = platform::echoIdentifier(*echo).value_or(identifier);
    const std::uint8_t replyType = six ? layout_d6::EchoReply : layout_d::EchoReply;
    // The server's own ICMP answer (a request with the reply marker) and the host's own requests
    // to itself are not echo replies, and a reply to an earlier request carries another identity.
    return awaitRawAnswer(
        run, fd, *server, protocolLabel(protocol),
        [&](const std::uint8_t* received, std::size_t n) {
          return echo->headerBytes() > 0 ? isIcmpEchoReply(request.data(), received, n)
                                         : isEchoReplyMessage(request.data(), received, n, replyType, replyIdentifier);
        },
        [&](const std::uint8_t* received, std::size_t n) {
          return echo->headerBytes() > 0 ? icmpEchoReplyTime(received, n)
                                         : echoReplyMessageTime(received, n, replyType);
        });
  });
  return 0;
}

}  // namespace connchk::client
