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

namespace {

// Histogram classes 1 % wide: class k holds round trips from 1.01^k - 1 up to the next one; 2300
// classes reach past an hour.
constexpr double ClassRatio = 1.01;
constexpr std::size_t ClassCount = 2300;

std::size_t classOf(std::int64_t us) {
  const auto k = static_cast<std::size_t>(std::log(static_cast<double>(us) + 1.0) / std::log(ClassRatio));
  return std::min(k, ClassCount - 1);
}

// The middle of a class, back in microseconds.
std::int64_t classMiddle(std::size_t k) {
  return std::llround(std::pow(ClassRatio, static_cast<double>(k) + 0.5) - 1.0);
}

// Nearest rank of `fraction` among `n` sorted values, 0-based.
std::size_t rankOf(double fraction, std::size_t n) {
  const auto rank = static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(n)));
  return rank == 0 ? 0 : std::min(rank, n) - 1;
}

}  // namespace

void TripFigures::add(std::int64_t us) {
  us = std::max<std::int64_t>(us, 0);
  if (count_ == 0) {
    min_ = max_ = us;
    classes_.assign(ClassCount, 0);
  } else {
    min_ = std::min(min_, us);
    max_ = std::max(max_, us);
    jitterSum_ += static_cast<double>(us > last_ ? us - last_ : last_ - us);
  }
  last_ = us;
  ++count_;
  sum_ += static_cast<double>(us);
  squares_ += static_cast<double>(us) * static_cast<double>(us);
  ++classes_[classOf(us)];
}

std::int64_t TripFigures::meanUs() const { return count_ == 0 ? 0 : std::llround(sum_ / count_); }

std::int64_t TripFigures::deviationUs() const {
  if (count_ == 0) return 0;
  const double mean = sum_ / count_;
  return std::llround(std::sqrt(std::max(0.0, squares_ / count_ - mean * mean)));
}

std::int64_t TripFigures::jitterUs() const { return count_ < 2 ? 0 : std::llround(jitterSum_ / (count_ - 1)); }

std::int64_t TripFigures::percentileUs(double fraction) const {
  if (count_ == 0) return 0;
  std::size_t wanted = rankOf(fraction, static_cast<std::size_t>(count_)) + 1;
  for (std::size_t k = 0; k < classes_.size(); ++k) {
    if (classes_[k] >= wanted) return std::clamp(classMiddle(k), min_, max_);
    wanted -= classes_[k];
  }
  return max_;
}

void RunOutcome::record(const RoundRecord& round) {
  rounds.push_back(round);
  if (round.result == RoundResult::Answered && round.roundTripUs >= 0) trips.add(round.roundTripUs);
  if (rounds.size() > KeptRounds) {
    rounds.pop_front();
    ++roundsDropped;
  }
}

RunSummary summarize(const RunOutcome& outcome) {
  RunSummary summary;
  summary.sent = outcome.requestsSent;
  summary.answered = outcome.answersAccepted;
  summary.duplicates = outcome.duplicates;
  summary.lateAnswers = outcome.lateAnswers;
  summary.tcpRetransmissions = outcome.tcpRetransmissions;
  if (summary.sent > 0) {
    const int lost = std::max(0, summary.sent - summary.answered);
    summary.lossPercent = 100.0 * lost / summary.sent;
  }
  // While every round is kept the figures come from the rounds themselves, exactly (an outcome
  // may also be put together by hand, without its running figures).
  TripFigures figures;
  std::vector<std::int64_t> sorted;
  for (const RoundRecord& round : outcome.rounds) {
    if (round.result != RoundResult::Answered || round.roundTripUs < 0) continue;
    figures.add(round.roundTripUs);
    sorted.push_back(round.roundTripUs);
  }
  const bool whole = outcome.roundsDropped == 0;
  if (!whole) figures = outcome.trips;
  if (figures.count() == 0) return summary;
  summary.minUs = figures.minUs();
  summary.maxUs = figures.maxUs();
  summary.avgUs = figures.meanUs();
  summary.mdevUs = figures.deviationUs();
  summary.jitterUs = figures.jitterUs();
  if (whole) {
    std::sort(sorted.begin(), sorted.end());
    const std::size_t middle = sorted.size() / 2;
    summary.medianUs = sorted.size() % 2 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
    summary.p95Us = sorted[rankOf(0.95, sorted.size())];
    summary.p99Us = sorted[rankOf(0.99, sorted.size())];
  } else {
    summary.medianUs = figures.percentileUs(0.5);
    summary.p95Us = figures.percentileUs(0.95);
    summary.p99Us = figures.percentileUs(0.99);
  }
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
