// What every test procedure shares: its run's request, stop event, log and figures, and the steps
// that the five procedures take alike (opening the socket, resolving the server, the round loop
// with its pauses, the deadline of a round, the wait for a datagram, and the two steps through
// which every round is reported: a request sent, then an answer accepted or a round that ended
// without one).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "client/pending_requests.h"
#include "client/run_outcome.h"
#include "client/run_parameters.h"
#include "common/activity_log.h"
#include "common/platform/address.h"
#include "common/platform/net.h"
#include "common/platform/receive_time.h"
#include "common/platform/wait.h"

namespace connchk::client {

using MonotonicClock = std::chrono::steady_clock;

enum class RoundEnd { Next, LeaveLoop };

// Each round as it ends, with the run's figures so far.
using RoundHook = std::function<void(const RoundRecord&, const RunSummary&)>;

class RunContext {
 public:
  RunContext(const RunRequest& params, ActivityLog& log, const platform::StopEvent& stop, RoundHook roundEnded = {})
      : params(params), log_(log), stop_(stop), roundEnded_(std::move(roundEnded)) {}

  const RunRequest& params;
  RunOutcome outcome;

  void say(const std::string& line) { log_.log(line); }
  bool stopRequested() const { return stop_.signalled(); }
  // Every wait of the run ends at once when it is signalled.
  const platform::StopEvent& stopEvent() const { return stop_; }

  // Marks an early failure and why; returns `code` as the procedure's exit code.
  int failStart(int code, RunFailure why);

  // Starts the next round's record (called by the round loop).
  void beginRound();

  // Taken just before a request is sent: its wall-clock send time in 100-ns units since 1601,
  // which the request carries as its identity (always later than the run's previous one, even
  // when the wall clock steps back), and the monotonic start of the round trip and the deadline.
  std::uint64_t takeSendTime();

  // The request left: logs `line` and counts it.
  void requestSent(const char* line);
  void requestSent(const std::string& line) { requestSent(line.c_str()); }

  // The monotonic time taken with the last send time (the start of this round's round trip).
  MonotonicClock::time_point sentAt() const { return sentAt_; }

  // The answer to this round's request came at `receivedAt`: logs "Получен ответ от сервера" and
  // "Протокол <label>. Время приема-передачи: m:ss.mmm" with the monotonic round trip, and records it.
  RoundEnd answerAccepted(const std::string& protocolLabel, MonotonicClock::time_point receivedAt);

  // The round ended without an answer: logs why (nothing for Stop), records it, and tells the loop
  // whether the run goes on (a failed send and Stop end it).
  RoundEnd roundWithoutAnswer(RoundResult why, int error = 0);

  // An answer passed over in this round's wait that carries `identity`: when it names an earlier
  // request of the run, it is counted as a duplicate (that request was answered already) or as a
  // late answer (its round had ended without one). Anything else is no answer of this run.
  void strayAnswer(std::uint64_t identity);

  // Milliseconds left before this round's deadline (params.timeoutMs after the send), 0 once past.
  int msLeft() const;
  MonotonicClock::time_point deadline() const;

  // A paced run keeps several requests open at once (runPacedRounds); these steps report each of
  // them where the steps above report the one round. The round just begun, once its request was
  // sent, as an open request:
  OpenRequest openRequest() const;
  // its answer came after `roundTripUs`: logs the two lines as answerAccepted does and counts it;
  void openRequestAnswered(const std::string& protocolLabel, std::int64_t roundTripUs);
  // it ended without one: logs why, as roundWithoutAnswer does;
  void openRequestUnanswered(RoundResult why, int error = 0);
  // and its round is recorded once every earlier one was, so that rounds stay in send order.
  void recordOpenRequest(const OpenRequest& request);

 private:
  void endRound(RoundResult result, int error, std::int64_t roundTripUs);
  void sayAnswer(const std::string& protocolLabel, std::int64_t roundTripUs);
  void sayWithoutAnswer(RoundResult why, int error);
  void record(const RoundRecord& round);

  ActivityLog& log_;
  const platform::StopEvent& stop_;
  RoundHook roundEnded_;
  int roundNumber_ = 0;
  bool sentThisRound_ = false;
  std::uint64_t lastSendTime_ = 0;
  std::int64_t sentAtUnixUs_ = 0;
  std::uint64_t identity_ = 0;  // this round's request's send time, once it was taken
  MonotonicClock::time_point sentAt_{};
};

// Opens the test's socket of the server's family, non-blocking, with receive stamps asked for
// (platform::askForReceiveStamps), logging "Ошибка %i при открытии сокета" on failure (and, for a
// raw socket refused for want of the right, the line that names it).
// The run's way out and TTL are put on it (takeWayOut), with `localPort` bound where one is asked
// for. When the open or the way fails the start is marked failed, with why, and the run's
// outcome.exitCode is the procedure's: the failed open's code, 0 when the way failed.
platform::Result<platform::Socket> openTestSocket(RunContext& run, platform::Family family, int type, int protocol,
                                                  std::uint16_t localPort = 0);

// Puts the run's way out and TTL on a socket (platform::applyWayOut), binding `localPort` where one
// is asked for (an IPv6 socket then leaves the IPv4 port to others). A failed bind is logged as
// "Ошибка bind %i" (for port 855 with the line that says why), anything else by what failed, and
// the start marked failed.
platform::Status takeWayOut(RunContext& run, int fd, platform::Family family, std::uint16_t localPort);

// The server's address (port 0) in the family asked for (params.family; by default the first the
// resolver gives), or nullopt after logging that it cannot be resolved, with a second line that
// names the input and the reason, and marking the start failed. Where a family was forced the
// resolver's reason says so, since the name may well exist in the other family. Stop ends a lookup
// at once: the run is then stopped and its start failed (nothing was sent), and nothing is logged.
std::optional<platform::Address> resolveServer(RunContext& run);
// The same for any caller, saying its lines through `say`; a lookup is given up (and not logged)
// once `stopped` holds, when it is given; `why` gets the second line.
std::optional<platform::Address> resolveServer(const std::string& address, platform::FamilyChoice family,
                                               const std::function<void(const std::string&)>& say,
                                               const std::function<bool()>& stopped = {},
                                               std::string* why = nullptr);

// Why UDP port 855 of this host could not be bound, from the code of the failed bind.
RunFailure terminalPortFailure(int error);

// Binds this host's UDP port 855 of `family` to `fd` (on the way's address, where it names one),
// where the terminal exchange's answers come; an IPv6 socket leaves the IPv4 port 855 to others.
platform::Status bindTerminalPort(int fd, platform::Family family, const platform::WayOut& way = {});

// Logs "Соединение с %s, порт %i (свой порт %i)" with the server's address in its usual text form
// and its port; where the run names a way out or a TTL, they follow the port (wayOutPhrase).
void logConnection(RunContext& run, const platform::Address& server, int ownPort);

// For the tests without a connection line (raw IP, ICMP): where the run names a way out or a TTL,
// logs "Запросы к %s" with the server's address and the way (wayOutPhrase); otherwise nothing.
void logWayOut(RunContext& run, const platform::Address& server);

// The loop of rounds: a count of -1 runs without end, fewer than 1 runs none. Every round but the
// last is followed by the pause (params.intervalMs), whether it was answered or not; Stop is
// looked at before every round and ends the pause at once.
void runRounds(RunContext& run, const std::function<RoundEnd()>& round);

// Sends a whole request on a stream socket before the round's deadline; a send that cannot finish
// in time fails with ETIMEDOUT. For datagram sockets one send is the whole request.
platform::Result<std::size_t> sendRequest(RunContext& run, int fd, const std::uint8_t* data, std::size_t length);

// How a received datagram stands to the round.
enum class Pick {
  PassOver,  // not this round's answer: the wait goes on, to the same deadline
  Take,      // the answer (or the step of the exchange) the round waits for
  Empty,     // an empty datagram from the peer the round talks to: "Сервер закрыл соединение"
};
using Judge = std::function<Pick(std::size_t length, const platform::Address& from)>;

struct Awaited {
  enum class Kind { Taken, Empty, TimedOut, Failed, Stopped } kind = Kind::TimedOut;
  std::size_t length = 0;
  platform::Address from;
  int error = 0;
  // When it came: the kernel's receive stamp where the socket gives one, else right after the
  // receive that brought it (receivedAt, against the run's last send).
  MonotonicClock::time_point at{};
  platform::ReceiveTime time;  // both times of that receive, for a caller that knows its send better
};

// When the message of a receive that ended at `time` came, for this round's round trip: the
// kernel's stamp where one came and lies after the round's send, else the receive's return.
MonotonicClock::time_point receivedAt(const RunContext& run, const platform::ReceiveTime& time);

// Logs "Сообщение ICMP от %s: %s" (ICMPv6 over IPv6) for every ICMP error that the socket's error
// queue holds (queued only where takeWayOut turned it on, for a run with a TTL of its own).
void sayQueuedIcmpErrors(RunContext& run, int fd);

// Receives datagrams into `buffer` until `judge` takes one, the round's deadline passes, a receive
// fails, or Stop is asked for (which ends the wait at once). A datagram too big for
// the buffer is not an answer of ours and is passed over.
Awaited awaitDatagram(RunContext& run, int fd, std::uint8_t* buffer, std::size_t capacity, const Judge& judge);
// The same, waiting until `until` instead of the round's deadline.
Awaited awaitDatagramUntil(RunContext& run, int fd, std::uint8_t* buffer, std::size_t capacity, const Judge& judge,
                           MonotonicClock::time_point until);

// Ends a round whose wait brought no answer, by the way the wait ended.
RoundEnd roundWithout(RunContext& run, const Awaited& awaited);

// The lines every procedure writes, as they read.
inline constexpr const char* RequestSentLine = "Отослан запрос к серверу";
inline constexpr const char* NoRawRightLine =
    "Нет права на raw-сокеты (CAP_NET_RAW): нужен root или setcap cap_net_raw+ep";

}  // namespace connchk::client
