#include "client/pending_requests.h"

#include <algorithm>

namespace connchk::client {

void PendingRequests::add(const OpenRequest& request) { open_.push_back(request); }

AnswerMatch PendingRequests::answer(std::uint64_t identity, MonotonicClock::time_point at, std::int64_t* roundTripUs) {
  if (identity == 0) return AnswerMatch::Unknown;
  const auto found =
      std::find_if(open_.begin(), open_.end(), [identity](const OpenRequest& r) { return r.identity == identity; });
  if (found == open_.end()) return AnswerMatch::Unknown;
  if (!found->ended) {
    found->ended = true;
    found->result = RoundResult::Answered;
    found->roundTripUs =
        std::max<std::int64_t>(0, std::chrono::duration_cast<std::chrono::microseconds>(at - found->sentAt).count());
    if (roundTripUs) *roundTripUs = found->roundTripUs;
    return AnswerMatch::Answers;
  }
  if (found->result == RoundResult::Answered || found->answeredLate) return AnswerMatch::Duplicate;
  found->answeredLate = true;
  return AnswerMatch::Late;
}

std::optional<MonotonicClock::time_point> PendingRequests::sentAt(std::uint64_t identity) const {
  const auto found =
      std::find_if(open_.begin(), open_.end(), [identity](const OpenRequest& r) { return r.identity == identity; });
  if (identity == 0 || found == open_.end()) return std::nullopt;
  return found->sentAt;
}

int PendingRequests::expire(MonotonicClock::time_point now) {
  int expired = 0;
  for (OpenRequest& request : open_) {
    if (request.ended) continue;
    if (request.sentAt + wait_ > now) break;  // sent in order, so the later ones end later still
    request.ended = true;
    request.result = RoundResult::TimedOut;
    ++expired;
  }
  return expired;
}

bool PendingRequests::endOldestWaiting(RoundResult result, int error) {
  const auto oldest = std::find_if(open_.begin(), open_.end(), [](const OpenRequest& r) { return !r.ended; });
  if (oldest == open_.end()) return false;
  oldest->ended = true;
  oldest->result = result;
  oldest->error = error;
  return true;
}

void PendingRequests::stopAll() {
  while (endOldestWaiting(RoundResult::Stopped)) {
  }
}

std::optional<MonotonicClock::time_point> PendingRequests::nextDeadline() const {
  const auto oldest = std::find_if(open_.begin(), open_.end(), [](const OpenRequest& r) { return !r.ended; });
  if (oldest == open_.end()) return std::nullopt;
  return oldest->sentAt + wait_;
}

std::vector<OpenRequest> PendingRequests::takeEnded() {
  std::vector<OpenRequest> ended;
  while (!open_.empty() && open_.front().ended) {
    ended.push_back(open_.front());
    open_.pop_front();
  }
  return ended;
}

}  // namespace connchk::client
