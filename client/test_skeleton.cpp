#include "client/test_skeleton.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "common/platform/icmp_errors.h"
#include "common/platform/socket_wait.h"
#include "common/platform/sockets.h"
#include "common/protocol.h"
#include "common/text_format.h"

namespace connchk::client {

namespace {
using std::chrono::duration_cast;
using std::chrono::microseconds;
using std::chrono::milliseconds;

// Microseconds between 1601-01-01 and 1970-01-01.
constexpr std::int64_t UnixEpochIn1601Us = 11644473600LL * 1000000;
}  // namespace

int RunContext::failStart(int code, RunFailure why) {
  outcome.startFailed = true;
  outcome.exitCode = code;
  outcome.failure = std::move(why);
  return code;
}

void RunContext::beginRound() {
  ++roundNumber_;
  sentThisRound_ = false;
  sentAtUnixUs_ = 0;
  identity_ = 0;
  sentAt_ = MonotonicClock::now();
}

std::uint64_t RunContext::takeSendTime() {
  lastSendTime_ = std::max(SendTimestamp(), lastSendTime_ + 1);
  sentAtUnixUs_ = static_cast<std::int64_t>(lastSendTime_ / 10) - UnixEpochIn1601Us;
  identity_ = lastSendTime_;
  sentAt_ = MonotonicClock::now();
  return lastSendTime_;
}

void RunContext::requestSent(const char* line) {
  say(line);
  ++outcome.requestsSent;
  sentThisRound_ = true;
}

RoundEnd RunContext::answerAccepted(const std::string& protocolLabel, MonotonicClock::time_point receivedAt) {
  const std::int64_t roundTripUs = std::max<std::int64_t>(0, duration_cast<microseconds>(receivedAt - sentAt_).count());
  sayAnswer(protocolLabel, roundTripUs);
  ++outcome.answersAccepted;
  endRound(RoundResult::Answered, 0, roundTripUs);
  return RoundEnd::Next;
}

void RunContext::sayAnswer(const std::string& protocolLabel, std::int64_t roundTripUs) {
  say("Получен ответ от сервера");
  // The written form counts in 100-ns units.
  say("Протокол " + protocolLabel + ". Время приема-передачи: " +
      RoundTripText(0, static_cast<std::uint64_t>(roundTripUs) * 10));
}

RoundEnd RunContext::roundWithoutAnswer(RoundResult why, int error) {
  sayWithoutAnswer(why, error);
  if (why == RoundResult::Stopped) {
    outcome.stopped = true;
    outcome.requestsCutShort += sentThisRound_;
  }
  endRound(why, error, -1);
  return why == RoundResult::SendError || why == RoundResult::Stopped ? RoundEnd::LeaveLoop : RoundEnd::Next;
}

void RunContext::sayWithoutAnswer(RoundResult why, int error) {
  switch (why) {
    case RoundResult::TimedOut: say("Превышено время ожидания ответа"); break;
    case RoundResult::ReceiveError: say(format("Возникла ошибка на приеме %i", error)); break;
    case RoundResult::SendError: say(format("Ошибка send %i", error)); break;
    case RoundResult::Closed: say("Сервер закрыл соединение"); break;
    case RoundResult::Stopped:
    case RoundResult::Answered: break;
  }
}

void RunContext::endRound(RoundResult result, int error, std::int64_t roundTripUs) {
  // A request that could not be sent left no identity to ask about.
  const std::uint64_t identity = result == RoundResult::SendError ? 0 : identity_;
  record(RoundRecord{roundNumber_, sentAtUnixUs_, result, error, roundTripUs, identity});
}

void RunContext::record(const RoundRecord& round) {
  outcome.record(round);
  if (roundEnded_) roundEnded_(outcome.rounds.back(), summarize(outcome));
}

OpenRequest RunContext::openRequest() const {
  OpenRequest request;
  request.round = roundNumber_;
  request.identity = identity_;
  request.sentAtUnixUs = sentAtUnixUs_;
  request.sentAt = sentAt_;
  return request;
}

void RunContext::openRequestAnswered(const std::string& protocolLabel, std::int64_t roundTripUs) {
  sayAnswer(protocolLabel, roundTripUs);
  ++outcome.answersAccepted;
}

void RunContext::openRequestUnanswered(RoundResult why, int error) { sayWithoutAnswer(why, error); }

void RunContext::recordOpenRequest(const OpenRequest& request) {
  if (request.result == RoundResult::Stopped) {
    outcome.stopped = true;
    ++outcome.requestsCutShort;
  }
  RoundRecord round{request.round,  request.sentAtUnixUs, request.result,
                    request.error,  request.roundTripUs,  request.result == RoundResult::SendError ? 0 : request.identity};
  round.answeredLate = request.answeredLate;
  record(round);
}

void RunContext::strayAnswer(std::uint64_t identity) {
  if (identity == 0) return;
  const auto round = std::find_if(outcome.rounds.rbegin(), outcome.rounds.rend(),
                                  [identity](const RoundRecord& r) { return r.identity == identity; });
  if (round == outcome.rounds.rend()) return;  // not one of this run's kept requests
  if (round->result == RoundResult::Answered || round->answeredLate) {
    ++outcome.duplicates;
  } else {
    round->answeredLate = true;
    ++outcome.lateAnswers;
  }
}

namespace {
// Rounded up, so that a wait never ends a fraction of a millisecond early.
int msUntil(MonotonicClock::time_point until) {
  const auto left = duration_cast<microseconds>(until - MonotonicClock::now());
  return left.count() <= 0 ? 0 : static_cast<int>((left.count() + 999) / 1000);
}
}  // namespace

int RunContext::msLeft() const { return msUntil(deadline()); }

MonotonicClock::time_point RunContext::deadline() const { return sentAt_ + milliseconds(params.timeoutMs); }

platform::Result<platform::Socket> openTestSocket(RunContext& run, platform::Family family, int type, int protocol,
                                                  std::uint16_t localPort) {
  platform::Result<platform::Socket> opened = platform::openSocket(family, type, protocol);
  if (!opened) {
    const int error = opened.code();
    const std::string line = format("Ошибка %i при открытии сокета", error);
    run.say(line);
    if (type == SOCK_RAW && (error == EPERM || error == EACCES)) {
      run.say(NoRawRightLine);
      run.failStart(error, {"no-raw-right", NoRawRightLine, true});
    } else {
      run.failStart(error, {"socket-error", line, true});
    }
    return opened;
  }
  platform::Socket socket = std::move(*opened);
  // Neither can fail on a socket just opened with an in-range value; a failure would only leave
  // the socket blocking (each wait comes first) or the class unset, so the run goes on.
  (void)platform::setNonBlocking(socket.fd());
  platform::askForReceiveStamps(socket.fd());
  if (run.params.tos >= 0) (void)platform::setTrafficClass(socket.fd(), family, run.params.tos);
  if (platform::Status taken = takeWayOut(run, socket.fd(), family, localPort); !taken) return std::move(taken).error();
  return socket;
}

platform::Status takeWayOut(RunContext& run, int fd, platform::Family family, std::uint16_t localPort) {
  const platform::WayOut& way = run.params.way;
  if (!way.shaped() && localPort == 0) return {};
  // Where IPv6-only cannot be set the bind below still tells whether the port is ours.
  if (localPort != 0 && family == platform::Family::IPv6) (void)platform::setIPv6Only(fd, true);
  platform::Status taken = platform::applyWayOut(fd, family, way, localPort);
  if (taken) {
    // With a TTL of its own a request may die on the way: the router's ICMP error is then queued
    // for the socket, to be told when the receive fails. A stream socket is left alone, since
    // there a queued error would end a working connection.
    int type = 0;
    socklen_t length = sizeof type;
    if (way.hopLimit != 0 && ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) == 0 && type != SOCK_STREAM) {
      // Without the queue a dying request is only a lost one: the run goes on.
      (void)platform::enableErrorQueue(fd, family);
    }
    return taken;
  }
  const platform::Error& why = taken.error();
  const bool bindFailed = why.call == "bind" && why.code != EAFNOSUPPORT;
  const std::string line = bindFailed ? format("Ошибка bind %i", why.code) : why.text;
  run.say(line);
  if (bindFailed && localPort == TerminalPort) {
    RunFailure port = terminalPortFailure(why.code);
    run.say(port.text);
    run.failStart(0, std::move(port));
  } else {
    run.failStart(0, {bindFailed ? "bind-error" : "way-out", line, true});
  }
  return taken;
}

std::optional<platform::Address> resolveServer(const std::string& address, platform::FamilyChoice family,
                                               const std::function<void(const std::string&)>& say,
                                               const std::function<bool()>& stopped, std::string* why) {
  auto server = stopped ? platform::resolve(address, family, stopped) : platform::resolve(address, family);
  if (server) return *server;
  if (!(stopped && stopped())) {
    say("Невозможно определить адрес ВЕЛТ-IP для подключения");
    say(server.error().text);
    if (why) *why = server.error().text;
  }
  return std::nullopt;
}

std::optional<platform::Address> resolveServer(RunContext& run) {
  // Stop ends a name lookup at once, however long the resolver would wait for its name server.
  std::string why;
  auto server = resolveServer(
      run.params.address, run.params.family, [&run](const std::string& line) { run.say(line); },
      [&run] { return run.stopRequested(); }, &why);
  if (!server && run.stopRequested()) {
    // Nothing could be sent: a run (or a probe's) stopped in its lookup never started.
    run.outcome.stopped = true;
    run.failStart(0, {"lookup-stopped", "определение адреса прервано", true});
  } else if (!server) {
    run.failStart(0, {"unresolved", why, true});
  }
  if (server) run.outcome.server = server->text();
  return server;
}

platform::Status bindTerminalPort(int fd, platform::Family family, const platform::WayOut& way) {
  // Where IPv6-only cannot be set the bind below still tells whether the port is ours.
  if (family == platform::Family::IPv6) (void)platform::setIPv6Only(fd, true);
  const bool fromAddress = way.kind == platform::WayOut::Kind::Address && way.address.family() == family;
  return platform::bindTo(fd, fromAddress ? way.address.withPort(TerminalPort) : platform::Address::any(family, TerminalPort));
}

RunFailure terminalPortFailure(int error) {
  if (error == EADDRINUSE) return {"port-855-taken", "Порт 855 занят на этом хосте (сервером или другим клиентом)", true};
  if (error == EACCES || error == EPERM) {
    return {"no-port-855-right", "Нет права занять порт 855 (CAP_NET_BIND_SERVICE)", true};
  }
  return {"bind-error", format("Ошибка bind %i", error), true};
}

void logConnection(RunContext& run, const platform::Address& server, int ownPort) {
  run.outcome.localPort = ownPort;
  const std::string way = platform::wayOutPhrase(run.params.way);
  if (way.empty()) {
    run.say(format("Соединение с %s, порт %i (свой порт %i)", server.text().c_str(), static_cast<int>(server.port()),
                   ownPort));
  } else {
    run.say(format("Соединение с %s, порт %i%s (свой порт %i)", server.text().c_str(), static_cast<int>(server.port()),
                   way.c_str(), ownPort));
  }
}

void logWayOut(RunContext& run, const platform::Address& server) {
  const std::string way = platform::wayOutPhrase(run.params.way);
  if (!way.empty()) run.say(format("Запросы к %s%s", server.text().c_str(), way.c_str()));
}

namespace {
// The pause between rounds; false when Stop was asked for during it.
bool pauseBetweenRounds(RunContext& run) {
  const auto until = MonotonicClock::now() + milliseconds(std::max(run.params.intervalMs, 0));
  for (;;) {
    const auto left = duration_cast<microseconds>(until - MonotonicClock::now()).count();
    if (run.stopRequested()) return false;
    if (left <= 0) return true;
    // Rounded up, so that a pause never ends a fraction of a millisecond early.
    platform::waitReadable(-1, run.stopEvent(), static_cast<int>((left + 999) / 1000));
  }
}
}  // namespace

void runRounds(RunContext& run, const std::function<RoundEnd()>& round) {
  const bool infinite = run.params.count == -1;
  if (!infinite && run.params.count < 1) return;
  for (int done = 0;;) {
    if (run.stopRequested()) {
      run.outcome.stopped = true;
      return;
    }
    run.beginRound();
    if (round() == RoundEnd::LeaveLoop) return;
    if (!infinite && ++done >= run.params.count) return;
    if (!pauseBetweenRounds(run)) {
      run.outcome.stopped = true;
      return;
    }
  }
}

platform::Result<std::size_t> sendRequest(RunContext& run, int fd, const std::uint8_t* data, std::size_t length) {
  std::size_t sent = 0;
  for (;;) {
    auto result = platform::sendBytes(fd, data + sent, length - sent);
    if (result) {
      sent += *result;
      if (sent >= length) return sent;
    } else if (!result.timedOut()) {
      return result;
    }
    // Only a stream socket whose peer has stopped reading gets here. Stop ends the round, as a
    // send that could not finish.
    if (run.msLeft() <= 0) return platform::Error{"send", ETIMEDOUT, {}};
    if (platform::waitWritable(fd, run.stopEvent(), run.msLeft()) == platform::WaitResult::Stopped) {
      return platform::Error{"send", ECANCELED, {}};
    }
  }
}

void sayQueuedIcmpErrors(RunContext& run, int fd) {
  // Bounded: every error is read once, and the queue holds only what this socket's requests drew.
  for (int i = 0; i < 16; ++i) {
    platform::IcmpError error;
    const auto read = platform::readErrorQueue(fd, error);
    if (!read || *read != platform::ErrorRead::Error) return;
    run.say(format("Сообщение %s от %s: %s", error.family == platform::Family::IPv4 ? "ICMP" : "ICMPv6",
                   error.offender.text().c_str(), platform::icmpErrorReason(error).c_str()));
  }
}

Awaited awaitDatagram(RunContext& run, int fd, std::uint8_t* buffer, std::size_t capacity, const Judge& judge) {
  return awaitDatagramUntil(run, fd, buffer, capacity, judge, run.deadline());
}

Awaited awaitDatagramUntil(RunContext& run, int fd, std::uint8_t* buffer, std::size_t capacity, const Judge& judge,
                           MonotonicClock::time_point until) {
  Awaited awaited;
  for (;;) {
    const int left = msUntil(until);
    if (left <= 0) {
      awaited.kind = Awaited::Kind::TimedOut;
      return awaited;
    }
    if (platform::waitReadable(fd, run.stopEvent(), left) == platform::WaitResult::Stopped) {
      awaited.kind = Awaited::Kind::Stopped;
      return awaited;
    }
    const auto got = platform::receiveFrom(fd, buffer, capacity, awaited.from, platform::Wait::Block, awaited.time);
    awaited.at = receivedAt(run, awaited.time);
    if (got.timedOut()) continue;  // nothing there after all
    if (!got && got.code() != EMSGSIZE) {
      sayQueuedIcmpErrors(run, fd);
      awaited.kind = Awaited::Kind::Failed;
      awaited.error = got.code();
      return awaited;
    }
    awaited.length = got ? *got : 0;
    const Pick pick = got ? judge(awaited.length, awaited.from) : Pick::PassOver;
    if (pick == Pick::Take || pick == Pick::Empty) {
      awaited.kind = pick == Pick::Take ? Awaited::Kind::Taken : Awaited::Kind::Empty;
      return awaited;
    }
    if (run.stopRequested()) {
      awaited.kind = Awaited::Kind::Stopped;
      return awaited;
    }
  }
}

MonotonicClock::time_point receivedAt(const RunContext& run, const platform::ReceiveTime& time) {
  return time.arrival(run.sentAt());
}

RoundEnd roundWithout(RunContext& run, const Awaited& awaited) {
  switch (awaited.kind) {
    case Awaited::Kind::Empty: return run.roundWithoutAnswer(RoundResult::Closed);
    case Awaited::Kind::Failed: return run.roundWithoutAnswer(RoundResult::ReceiveError, awaited.error);
    case Awaited::Kind::Stopped: return run.roundWithoutAnswer(RoundResult::Stopped);
    case Awaited::Kind::TimedOut:
    case Awaited::Kind::Taken: break;
  }
  return run.roundWithoutAnswer(RoundResult::TimedOut);
}

}  // namespace connchk::client
