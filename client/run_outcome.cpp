#include "client/run_outcome.h"

#include <algorithm>
#include <cmath>

namespace connchk::client {

const char* roundResultName(RoundResult result) {
  switch (result) {
    case RoundResult::Answered: return "answered";
    case RoundResult::TimedOut: return "timeout";
    case RoundResult::ReceiveError: return "receive-error";
    case RoundResult::SendError: return "send-error";
    case RoundResult::Closed: return "closed";
    case RoundResult::Stopped: return "stopped";
  }
  return "unknown";
}

RunSummary summarize(const RunOutcome& outcome) {
  RunSummary summary;
  summary.sent = outcome.requestsSent;
  summary.answered = outcome.answersAccepted;
  if (summary.sent > 0) {
    const int lost = std::max(0, summary.sent - summary.answered);
    summary.lossPercent = 100.0 * lost / summary.sent;
  }
  std::vector<std::int64_t> trips;
  for (const RoundRecord& round : outcome.rounds) {
    if (round.result == RoundResult::Answered && round.roundTripUs >= 0) trips.push_back(round.roundTripUs);
  }
  if (trips.empty()) return summary;
  std::sort(trips.begin(), trips.end());
  double sum = 0.0;
  double squares = 0.0;
  for (const std::int64_t trip : trips) {
    sum += static_cast<double>(trip);
    squares += static_cast<double>(trip) * static_cast<double>(trip);
  }
  const double n = static_cast<double>(trips.size());
  const double mean = sum / n;
  summary.minUs = trips.front();
  summary.maxUs = trips.back();
  summary.avgUs = std::llround(mean);
  summary.mdevUs = std::llround(std::sqrt(std::max(0.0, squares / n - mean * mean)));
  const std::size_t middle = trips.size() / 2;
  summary.medianUs = trips.size() % 2 ? trips[middle] : (trips[middle - 1] + trips[middle]) / 2;
  return summary;
}

}  // namespace connchk::client
