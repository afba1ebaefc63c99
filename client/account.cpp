#include "client/account.h"

#include <sys/socket.h>

#include <algorithm>

#include "client/test_skeleton.h"
#include "common/platform/socket_wait.h"
#include "common/platform/way_out.h"
#include "common/platform/sockets.h"
#include "common/text_format.h"

namespace connchk::client {

namespace {

using Clock = std::chrono::steady_clock;

int msUntil(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(left);
}

// Reads one whole answer to the query of `queryTime` from a stream; nullopt on anything else.
std::optional<AccountAnswer> readStreamAnswer(int fd, std::uint64_t queryTime, Clock::time_point deadline,
                                              const platform::StopEvent& stop) {
  std::vector<std::uint8_t> stream;
  std::size_t wanted = layout_e::HeaderLength;
  std::uint8_t piece[ReceiveBufferSize];
  while (stream.size() < wanted) {
    const int left = msUntil(deadline);
    if (left == 0 || platform::waitReadable(fd, stop, left) != platform::WaitResult::Ready) return std::nullopt;
    const auto got = platform::receive(fd, piece, std::min(sizeof piece, wanted - stream.size()), platform::Wait::Now);
    if (got.timedOut()) continue;
    if (!got || *got == 0) return std::nullopt;
    stream.insert(stream.end(), piece, piece + *got);
    if (stream.size() == layout_e::HeaderLength) {
      // The header says how long the answer is; anything else (an original server's silence aside,
      // nothing should come) is no answer.
      if (!hasMarker(stream.data(), stream.size(), layout_e::Marker, AccountAnswerMarker)) return std::nullopt;
      wanted = accountAnswerLength(stream[layout_e::Count]);
    }
  }
  auto answer = readAccountAnswer(stream.data(), stream.size());
  if (!answer || answer->queryTime != queryTime) return std::nullopt;
  return answer;
}

std::optional<std::vector<RequestArrival>> askOverTcp(int fd, std::span<const std::uint64_t> identities,
                                                      Clock::time_point deadline, const platform::StopEvent& stop) {
  std::vector<RequestArrival> told;
  for (std::size_t from = 0; from < identities.size(); from += layout_e::MaxIdentities) {
    const auto chunk = identities.subspan(from, std::min(layout_e::MaxIdentities, identities.size() - from));
    const std::uint64_t queryTime = SendTimestamp();
    const auto query = writeAccountQuery(queryTime, chunk);
    const auto sent = platform::sendBytes(fd, query.data(), query.size());
    if (!sent || *sent != query.size()) return std::nullopt;
    const auto answer = readStreamAnswer(fd, queryTime, deadline, stop);
    if (!answer || answer->entries.size() != chunk.size()) return std::nullopt;
    told.insert(told.end(), answer->entries.begin(), answer->entries.end());
  }
  return told;
}

// The run's way out without its TTL: the query must leave as the requests did (the server tells a
// host only about requests from its own address) and must reach the server whatever TTL was tried.
platform::WayOut queryWay(const platform::WayOut& way) {
  platform::WayOut tied = way;
  tied.hopLimit = 0;
  return tied;
}

platform::Status takeWay(int fd, platform::Family family, const platform::WayOut& way) {
  return platform::applyWayOut(fd, family, queryWay(way));
}

// A datagram socket on the run's way, connected to `to`.
platform::Result<platform::Socket> connectedDatagramSocket(const platform::Address& to, const platform::WayOut& way) {
  auto socket = platform::openSocket(to.family(), SOCK_DGRAM, 0);
  platform::Status ready = platform::statusOf(socket);
  if (ready) ready = takeWay(socket->fd(), to.family(), way);
  if (ready) ready = platform::connectTo(socket->fd(), to);
  if (!ready) return std::move(ready).error();
  return socket;
}

std::optional<std::vector<RequestArrival>> askOverUdp(const platform::Address& server,
                                                      std::span<const std::uint64_t> identities,
                                                      Clock::time_point deadline, const platform::StopEvent& stop,
                                                      const platform::WayOut& way) {
  const auto connected = connectedDatagramSocket(server, way);
  if (!connected) return std::nullopt;
  const platform::Socket& socket = *connected;
  std::vector<RequestArrival> told;
  std::uint8_t datagram[ReceiveBufferSize];
  for (std::size_t from = 0; from < identities.size(); from += layout_e::MaxIdentitiesOverUdp) {
    const auto chunk = identities.subspan(from, std::min(layout_e::MaxIdentitiesOverUdp, identities.size() - from));
    const std::uint64_t queryTime = SendTimestamp();
    // Padded to its answer's length: the server never answers a UDP query with more than it carried.
    const auto query = writeAccountQuery(queryTime, chunk, accountAnswerLength(chunk.size()));
    if (!platform::sendBytes(socket.fd(), query.data(), query.size())) return std::nullopt;
    std::optional<AccountAnswer> answer;
    while (!answer) {
      const int left = msUntil(deadline);
      if (left == 0 || platform::waitReadable(socket.fd(), stop, left) != platform::WaitResult::Ready) return std::nullopt;
      const auto got = platform::receive(socket.fd(), datagram, sizeof datagram, platform::Wait::Now);
      if (!got && !got.timedOut()) return std::nullopt;  // refused: nothing listens
      if (!got) continue;
      answer = readAccountAnswer(datagram, *got);
      // Anything else from the server (a peer that echoes whatever comes) says it knows no account.
      if (!answer || answer->queryTime != queryTime || answer->entries.size() != chunk.size()) return std::nullopt;
    }
    told.insert(told.end(), answer->entries.begin(), answer->entries.end());
  }
  return told;
}

// This host's address towards `server` by `way`: the source the system chooses for it (nothing is sent).
std::string sourceTowards(const platform::Address& server, const platform::WayOut& way, int& ttl) {
  const auto socket = connectedDatagramSocket(server.withPort(EchoPort), way);
  if (!socket) return {};
  ttl = platform::outgoingTtl(socket->fd(), server.family() == platform::Family::IPv6);
  const auto local = platform::localAddress(socket->fd());
  return local ? local->text() : std::string();
}

std::string withPort(const std::string& host, int port, bool ipv6) {
  if (port <= 0) return host;
  return ipv6 ? format("[%s]:%d", host.c_str(), port) : format("%s:%d", host.c_str(), port);
}

}  // namespace

std::optional<std::vector<RequestArrival>> askAccount(const platform::Address& server,
                                                      std::span<const std::uint64_t> identities, int timeoutMs,
                                                      const platform::StopEvent& stop, const platform::WayOut& way) {
  if (identities.empty()) return std::vector<RequestArrival>{};
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  const platform::Address port87 = server.withPort(EchoPort);
  const auto tcp = platform::openSocket(server.family(), SOCK_STREAM, 0);
  if (tcp && takeWay(tcp->fd(), server.family(), way) && platform::setNonBlocking(tcp->fd())) {
    switch (platform::connectWithin(tcp->fd(), port87, msUntil(deadline), stop).end) {
      case platform::ConnectEnd::Connected: return askOverTcp(tcp->fd(), identities, deadline, stop);
      case platform::ConnectEnd::Stopped: return std::nullopt;
      case platform::ConnectEnd::Failed: break;
    }
  }
  return askOverUdp(port87, identities, deadline, stop, way);
}

int hopsTaken(int sentTtl, int arrivedTtl) {
  if (arrivedTtl < 0) return -1;
  if (sentTtl >= arrivedTtl) return sentTtl - arrivedTtl;
  for (const int start : {64, 128, 255}) {
    if (arrivedTtl <= start) return start - arrivedTtl;
  }
  return -1;
}

ServerAccount judgeAccount(const RunOutcome& outcome, const std::optional<std::vector<RequestArrival>>& told,
                           const SendingSide& side) {
  ServerAccount account;
  account.asked = true;
  account.sentTtl = side.ttl;
  account.sentTos = side.tos;
  account.answerPort = side.answerPort;
  account.sentFrom = side.host;
  if (!told) return account;
  account.given = true;
  const RequestArrival* newest = nullptr;
  for (const RequestArrival& entry : *told) {
    const auto round = std::find_if(outcome.rounds.begin(), outcome.rounds.end(),
                                    [&entry](const RoundRecord& r) { return r.identity == entry.identity; });
    if (round == outcome.rounds.end()) continue;  // not one of this run's requests
    ++account.requests;
    const bool answered = round->result == RoundResult::Answered;
    if (entry.arrived) {
      ++account.reached;
      account.sizes.push_back(entry.size);
      newest = &entry;
      if (!answered) ++account.lostBack;
    } else if (!answered) {
      ++account.lostThere;
    }
  }
  if (newest) {
    const auto seen = platform::Address::fromBytes(newest->ipv6 ? platform::Family::IPv6 : platform::Family::IPv4,
                                                   newest->address.data());
    account.seenAs = withPort(seen.text(), newest->port, newest->ipv6);
    account.sentFrom = withPort(side.host, newest->port > 0 ? side.port : 0, newest->ipv6);
    account.translated = !side.host.empty() && account.seenAs != account.sentFrom;
    account.ttl = newest->ttl;
    account.tos = newest->tos;
  }
  return account;
}

namespace {
constexpr int IcmpAccountRetryMs = 200;

bool answeredButNotTold(const RunOutcome& outcome, const std::vector<RequestArrival>& told) {
  for (const RoundRecord& round : outcome.rounds) {
    if (round.result != RoundResult::Answered || round.identity == 0) continue;
    const auto entry = std::find_if(told.begin(), told.end(),
                                    [&](const RequestArrival& a) { return a.identity == round.identity; });
    if (entry != told.end() && !entry->arrived) return true;
  }
  return false;
}
}  // namespace

ServerAccount takeAccount(const RunRequest& params, TestKind kind, const RunOutcome& outcome,
                          const platform::StopEvent& stop) {
  if (outcome.stopped) return {};  // Stop ends the run and all it would still do
  std::vector<std::uint64_t> identities;
  for (const RoundRecord& round : outcome.rounds) {
    if (round.identity != 0) identities.push_back(round.identity);
  }
  if (identities.size() > MostRequestsAsked) identities.erase(identities.begin(), identities.end() - MostRequestsAsked);
  const auto server = platform::Address::parse(outcome.server);
  if (identities.empty() || !server) return {};
  SendingSide side;
  side.host = sourceTowards(*server, params.way, side.ttl);
  side.port = outcome.localPort;
  // -I ADDRESS and --ttl: the requests left from that address and with that TTL.
  if (params.way.kind == platform::WayOut::Kind::Address) side.host = params.way.address.text();
  if (params.way.hopLimit != 0) side.ttl = params.way.hopLimit;
  side.tos = std::max(params.tos, 0);
  if (kind == TestKind::TerminalUdp) side.answerPort = TerminalPort + params.terminal;
  const int waitMs = params.accountTimeoutMs > 0 ? params.accountTimeoutMs : params.timeoutMs;
  auto told = askAccount(*server, identities, waitMs, stop, params.way);
  // The server host's kernel answers an ICMP echo at once, while the server program may still be
  // taking the same request in on a busy host: a request answered yet not told as arrived is
  // asked about once more, a moment later.
  if (kind == TestKind::IcmpEcho && told && answeredButNotTold(outcome, *told) &&
      platform::waitReadable(std::span<const int>{}, stop, IcmpAccountRetryMs) == platform::WaitResult::TimedOut) {
    if (auto again = askAccount(*server, identities, waitMs, stop, params.way)) told = std::move(again);
  }
  return judgeAccount(outcome, told, side);
}

std::vector<std::string> accountLines(const ServerAccount& a) {
  if (!a.asked) return {};
  const std::string head = "Отчет сервера: ";
  if (!a.given) return {head + "сервер не сообщает, что получил"};
  std::vector<std::string> lines{head + format("запросов дошло до сервера %d из %d", a.reached, a.requests)};
  if (a.lostBack > 0 && a.lostThere == 0) lines.push_back(head + "запросы доходят, ответы теряются на обратном пути");
  if (a.lostThere > 0 && a.lostBack == 0) lines.push_back(head + "запросы теряются на пути к серверу");
  if (a.lostThere > 0 && a.lostBack > 0) {
    lines.push_back(head + format("потеряно на пути к серверу %d, на обратном пути %d", a.lostThere, a.lostBack));
  }
  if (a.reached == 0) return lines;
  lines.push_back(head + "сервер видит вас как " + a.seenAs);
  if (a.translated) lines.push_back(head + "адрес изменён по пути (NAT)");
  if (a.translated && a.answerPort != 0 && a.lostBack > 0) {
    lines.push_back(head + format("TELM-UDP за NAT: сервер отвечает с порта %u, а NAT пропускает ответы только "
                                  "с порта 855",
                                  a.answerPort));
  }
  if (a.ttl >= 0) {
    const int hops = hopsTaken(a.sentTtl, a.ttl);
    lines.push_back(head + format("TTL по прибытии %d", a.ttl) +
                    (hops >= 0 ? format(", маршрутизаторов на пути %d", hops) : std::string()));
  }
  if (a.tos >= 0) {
    const int sent = a.sentTos >> 2, got = a.tos >> 2;
    if (sent != got) {
      lines.push_back(head + format("DSCP отправлен %d, получен %d: изменён по пути", sent, got));
    } else if (sent != 0) {
      lines.push_back(head + format("DSCP отправлен %d, получен %d", sent, got));
    }
  }
  return lines;
}

std::string accountLossCell(const ServerAccount& a) {
  if (!a.given) return "-";
  return format("%d / %d", a.lostThere, a.lostBack);
}

}  // namespace connchk::client
