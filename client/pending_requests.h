// The requests of a paced run that are still open. A paced run sends a request every interval
// whatever came back, so several wait for their answers at once; each is named by the send time it
// carries. Its round ends when its answer comes, when its deadline passes, or when a receive error
// or Stop ends it, and rounds leave the table in the order they were sent, so that they are
// recorded in that order, whatever order the answers came in. Pure: every time is given.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "client/run_outcome.h"

namespace connchk::client {

using MonotonicClock = std::chrono::steady_clock;

struct OpenRequest {
  int round = 0;
  std::uint64_t identity = 0;      // the send time it carries; 0 for a request that could not be sent
  std::int64_t sentAtUnixUs = 0;   // wall-clock send time, as a round records it
  MonotonicClock::time_point sentAt{};
  bool ended = false;
  RoundResult result = RoundResult::TimedOut;  // once ended
  int error = 0;
  std::int64_t roundTripUs = -1;   // once answered
  bool answeredLate = false;       // an answer came after it had ended without one
};

// What an answer that carries an identity is to the open requests.
enum class AnswerMatch {
  Answers,    // the first answer to a request still waiting: its round is answered
  Duplicate,  // a further answer to one already answered
  Late,       // the first answer to one that ended without one, before it left the table
  Unknown,    // no open request carries it (one that left the table may: see RunContext::strayAnswer)
};

class PendingRequests {
 public:
  // `wait`: how long each request waits for its answer, counted from its send.
  explicit PendingRequests(std::chrono::milliseconds wait) : wait_(wait) {}

  // A request that left (or, already ended, one that could not be sent).
  void add(const OpenRequest& request);

  // An answer carrying `identity` came at `at`; an answered request keeps its round trip, also
  // given in `roundTripUs`.
  AnswerMatch answer(std::uint64_t identity, MonotonicClock::time_point at, std::int64_t* roundTripUs = nullptr);

  // The monotonic send time of the request that carries `identity`, while it is in the table.
  std::optional<MonotonicClock::time_point> sentAt(std::uint64_t identity) const;

  // Ends every waiting request whose deadline is at or before `now`, as timed out; how many.
  int expire(MonotonicClock::time_point now);

  // Ends the oldest waiting request with `result` (a receive error, a closed server); false when
  // none waits.
  bool endOldestWaiting(RoundResult result, int error = 0);

  // Ends every waiting request as stopped.
  void stopAll();

  // The deadline of the oldest waiting request, which ends first; nullopt when none waits.
  std::optional<MonotonicClock::time_point> nextDeadline() const;

  // The ended requests at the front, in send order, taken out of the table; those behind a request
  // still waiting stay until it ends.
  std::vector<OpenRequest> takeEnded();

  std::size_t size() const { return open_.size(); }
  bool empty() const { return open_.empty(); }

 private:
  std::chrono::milliseconds wait_;
  std::deque<OpenRequest> open_;  // in send order
};

}  // namespace connchk::client
