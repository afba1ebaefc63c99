#include "client/run_outcome.h"

#include <algorithm>
#include <cerrno>
#include <cmath>

#include "common/text_format.h"

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

const char* verdictName(Verdict verdict) {
  switch (verdict) {
    case Verdict::Pass: return "pass";
    case Verdict::Loss: return "loss";
    case Verdict::Fail: return "fail";
    case Verdict::NotRun: return "not-run";
  }
  return "?";
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

bool isPathError(int error) {
  switch (error) {
    case ECONNREFUSED:
    case ECONNRESET:
    case ECONNABORTED:
    case EPIPE:
    case ETIMEDOUT:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case EHOSTDOWN:
    case ENETDOWN:
    case EPROTO:
      return true;
    default:
      return false;
  }
}

namespace {

// At most one decimal: "0", "33.3", "100".
std::string percentText(double percent) {
  std::string text = format("%.1f", percent);
  if (text.size() > 2 && text.compare(text.size() - 2, 2, ".0") == 0) text.resize(text.size() - 2);
  return text;
}

RunFailure lastRoundFailure(const RoundRecord& last) {
  switch (last.result) {
    case RoundResult::ReceiveError:
      return {"receive-error", format("ошибка на приеме %i", last.error), !isPathError(last.error)};
    case RoundResult::SendError:
      return {"send-error", format("ошибка send %i", last.error), !isPathError(last.error)};
    case RoundResult::Closed: return {"closed", "сервер закрыл соединение", false};
    default: return {"no-answer", "нет ответа", false};
  }
}

}  // namespace

Judgement judge(const RunOutcome& outcome, double maxLossPercent) {
  Judgement j;
  if (outcome.startFailed) {
    j.verdict = Verdict::Fail;
    j.reason = outcome.failure.empty() ? RunFailure{"not-started", "проверка не началась", true} : outcome.failure;
    j.exitStatus = j.reason.local ? 2 : 1;
    return j;
  }
  if (outcome.answersAccepted > 0) {
    // A request whose wait Stop cut short had no chance to be answered: it is not held against
    // the path (the summary still counts it, as ping does).
    const int judged = std::max(outcome.answersAccepted, outcome.requestsSent - outcome.requestsCutShort);
    const double lossPercent = 100.0 * (judged - outcome.answersAccepted) / judged;
    if (lossPercent > maxLossPercent) {
      j.verdict = Verdict::Fail;
      j.reason = {"too-much-loss",
                  format("потеряно %s%%, допустимо %s%%", percentText(lossPercent).c_str(),
                         percentText(maxLossPercent).c_str()),
                  false};
      j.exitStatus = 1;
      return j;
    }
    j.verdict = outcome.answersAccepted < judged ? Verdict::Loss : Verdict::Pass;
    j.exitStatus = 0;
    return j;
  }
  j.exitStatus = 1;
  // The last round that ended by itself tells best what the path does now; one that Stop cut
  // short tells nothing.
  const auto last = std::find_if(outcome.rounds.rbegin(), outcome.rounds.rend(),
                                 [](const RoundRecord& r) { return r.result != RoundResult::Stopped; });
  if (outcome.stopped && last == outcome.rounds.rend()) {
    j.verdict = Verdict::NotRun;
    j.reason = {"stopped", "проверка остановлена", false};
    return j;
  }
  j.verdict = Verdict::Fail;
  if (last == outcome.rounds.rend()) {
    j.reason = {"no-request", "запрос не отослан", false};
    return j;
  }
  j.reason = lastRoundFailure(*last);
  if (j.reason.local) j.exitStatus = 2;
  return j;
}

}  // namespace connchk::client
