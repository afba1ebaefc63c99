// What a run found: every round as it ended, why it could not go on where it could not, the figures
// a summary, a JSON report, a sweep, a plot or a probe are made from, and the one rule by which a
// run passed, passed with loss or failed. The test procedures fill it through two steps only (a
// request sent, an answer accepted, or a round that ended without one); everything else reads it.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace connchk::client {

// How one round ended.
enum class RoundResult {
  Answered,      // an answer to this very request was accepted
  TimedOut,      // the deadline passed without one
  ReceiveError,  // a receive failed (refused, unreachable, ...); `error` holds the code
  SendError,     // the request could not be sent; `error` holds the code
  Closed,        // the server closed the connection (TCP) or sent an empty answer
  Stopped,       // Stop ended the wait before an answer or the deadline came
};

struct RoundRecord {
  int number = 0;                 // 1 for the first round of the run
  std::int64_t sentAtUnixUs = 0;  // wall-clock time of the send, microseconds since 1970 (UTC)
  RoundResult result = RoundResult::TimedOut;
  int error = 0;                  // socket error code for ReceiveError / SendError
  std::int64_t roundTripUs = -1;  // monotonic round trip of an answered round, else -1
  std::uint64_t identity = 0;     // the send time the request carried (its name in the server's account); 0: none left
  bool answeredLate = false;      // an answer came after the round had ended without one
};

// Round trips of the accepted answers as they come, in constant memory: count, extremes, mean and
// deviation, jitter (the mean difference of consecutive round trips) and a histogram with 1 %
// wide classes for the percentiles.
class TripFigures {
 public:
  void add(std::int64_t us);
  int count() const { return count_; }
  std::int64_t minUs() const { return min_; }
  std::int64_t maxUs() const { return max_; }
  std::int64_t meanUs() const;
  std::int64_t deviationUs() const;  // standard deviation
  std::int64_t jitterUs() const;     // 0 with fewer than two round trips
  // The round trip below which `fraction` (0..1) of them lie, within 1 %; 0 when none.
  std::int64_t percentileUs(double fraction) const;

 private:
  int count_ = 0;
  std::int64_t min_ = 0, max_ = 0, last_ = 0;
  double sum_ = 0, squares_ = 0, jitterSum_ = 0;
  std::vector<std::uint32_t> classes_;  // made with the first round trip
};

// What the server said it received of a run's requests (see client/account.h).
struct ServerAccount {
  bool asked = false;     // a query went out (requests were sent and the account was not declined)
  bool given = false;     // the server answered it
  int requests = 0;       // requests asked about
  int reached = 0;        // of them, received by the server
  int lostThere = 0;      // not answered and not received: lost on the way there
  int lostBack = 0;       // not answered, yet received: the answer was lost on the way back
  std::string seenAs;     // the newest received request's source as the server saw it, "ADDRESS[:PORT]"
  std::string sentFrom;   // the same as this host sent it
  bool translated = false;  // seenAs differs from sentFrom: a NAT on the way
  int ttl = -1;           // TTL / hop limit of the newest received request on arrival (-1: unknown)
  int sentTtl = -1;       // what this host sends with (-1: unknown)
  int tos = -1;           // TOS / traffic class of the newest received request on arrival (-1: unknown)
  int sentTos = 0;        // what the requests were sent with
  std::vector<int> sizes; // of the received requests, as the server counted them
  std::uint32_t answerPort = 0;  // TELM-UDP: the port the server answers from (855 + N); 0 otherwise
};

// Why a run failed, as data: a code for scripts (ASCII: "unresolved", "connect-failed",
// "no-answer", ...) and the same for a person (Russian). `local` tells a fault of this host
// (options, rights, resolution, its own sockets) from a fault of the path or the peer.
struct RunFailure {
  std::string code;
  std::string text;
  bool local = false;
  bool empty() const { return code.empty(); }
};

// The verdict of a run: passed (every request answered), passed with loss, failed, or not run
// (stopped before anything could be judged).
enum class Verdict { Pass, Loss, Fail, NotRun };
const char* verdictName(Verdict verdict);  // "pass", "loss", "fail", "not-run"

struct Judgement {
  Verdict verdict = Verdict::NotRun;
  RunFailure reason;   // empty for a run that passed (with loss or without)
  int exitStatus = 2;  // the client's exit status for this run: 0 passed, 1 fault of the path, 2 of this host
};

struct RunOutcome {
  int exitCode = 0;          // the procedure's own code: 0, -1 or a socket error
  bool startFailed = false;  // ended before its first round (socket, bind, connect, address)
  RunFailure failure;        // why it could not start, when startFailed
  bool stopped = false;      // ended by Stop / Ctrl-C before its count was reached
  int requestsSent = 0;      // requests that left (a send that succeeded)
  int answersAccepted = 0;   // rounds that logged "Получен ответ от сервера"
  int requestsCutShort = 0;  // sent, but Stop ended the wait for the answer (0 or 1; paced: all still open)
  std::deque<RoundRecord> rounds;  // the newest KeptRounds rounds in order (also those without an answer)
  int roundsDropped = 0;     // older rounds no longer kept (an endless run); the figures still count them
  TripFigures trips;         // every accepted answer's round trip, kept or not
  int duplicates = 0;        // answers to a request already answered
  int lateAnswers = 0;       // first answers to a request whose round had ended without one
  int tcpRetransmissions = -1;  // segments TCP sent again during the run; -1: not a TCP run

  // Adds the round that ended, keeping the newest KeptRounds.
  void record(const RoundRecord& round);
  int localPort = 0;         // the port the requests left from (UDP and TCP), 0 where none
  std::string server;        // the address the run talked to, numeric; empty when not resolved
  ServerAccount account;
  Judgement judgement;       // set once when the run ends (judge())
};

// An endless run keeps this many of its newest rounds (for the plot, the JSON and the account).
inline constexpr std::size_t KeptRounds = 3600;

const char* roundResultName(RoundResult result);  // "answered", "timeout", "receive-error", ...

}  // namespace connchk::client

namespace connchk::client {

// The figures of a run, as ping and mtr give them: loss over the requests sent, round trips of the
// accepted answers in microseconds (all 0 when none came; mdev is the standard deviation, jitter
// the mean difference of consecutive round trips). Percentiles are exact while every round is
// kept, within 1 % after an endless run has dropped its oldest.
struct RunSummary {
  int sent = 0;
  int answered = 0;
  double lossPercent = 0.0;  // 0 when nothing was sent
  std::int64_t minUs = 0;
  std::int64_t avgUs = 0;
  std::int64_t maxUs = 0;
  std::int64_t mdevUs = 0;
  std::int64_t medianUs = 0;  // p50
  std::int64_t p95Us = 0;
  std::int64_t p99Us = 0;
  std::int64_t jitterUs = 0;
  int duplicates = 0;
  int lateAnswers = 0;
  int tcpRetransmissions = -1;  // -1: not a TCP run
};

RunSummary summarize(const RunOutcome& outcome);

// The one rule for every front-end: a run that could not start failed for its start failure; a
// run with an answer passed (with loss when some request went unanswered), unless it lost more
// than `maxLossPercent` of its requests; a run stopped before any round ended by itself was not
// run; otherwise it failed for the way its last such round ended.
Judgement judge(const RunOutcome& outcome, double maxLossPercent = 100.0);

// A socket error that the path or the peer caused (refused, reset, unreachable, timed out), as
// against one of this host.
bool isPathError(int error);

}  // namespace connchk::client
