#include "client/mtu_search.h"

#include <map>

namespace connchk::client {
namespace {

enum class Verdict { Pass, Refused, Silent, Stopped };

struct Judged {
  Verdict verdict = Verdict::Silent;
  int tries = 0;  // how many tries the verdict rests on
};

class Bisection {
 public:
  Bisection(const MtuSearchLimits& limits, std::uint32_t overhead,
            const std::function<MtuTry(std::uint32_t)>& tryOnce)
      : limits_(limits), overhead_(overhead), tryOnce_(tryOnce) {}

  MtuSearchResult run() {
    if (judge(limits_.largest) == Verdict::Pass) return finish(limits_.largest);
    if (result_.stopped) return finish(std::nullopt);
    // Nothing answered at the bottom may be a run of losses too: it is tried again as often.
    Verdict bottom = judge(limits_.smallest);
    if (bottom == Verdict::Silent) bottom = judge(limits_.smallest, limits_.triesOnLossyPath);
    if (bottom != Verdict::Pass) return finish(std::nullopt);
    for (;;) {
      const auto [low, high] = bounds();
      if (result_.stopped) return finish(low);
      if (high - low > 1) {
        judge(nextSize(low, high));
        continue;
      }
      // The bounds meet. A limit found by silence is tried again as often as a lossy path asks for
      // (a few lost packets in a row are not rare there); if it passes now, the search goes on above.
      const auto limit = judged_.find(high);
      if (limit != judged_.end() && limit->second.verdict == Verdict::Silent &&
          limit->second.tries < limits_.triesOnLossyPath) {
        judge(high, limits_.triesOnLossyPath);
        continue;
      }
      return finish(low);
    }
  }

 private:
  // The largest size that passed and the smallest above it that failed (largest + 1: none).
  std::pair<std::uint32_t, std::uint32_t> bounds() const {
    std::uint32_t low = limits_.smallest;
    for (const auto& [size, judged] : judged_) {
      if (judged.verdict == Verdict::Pass) low = size;
    }
    std::uint32_t high = limits_.largest + 1;
    for (const auto& [size, judged] : judged_) {
      if (size > low && judged.verdict != Verdict::Pass && judged.verdict != Verdict::Stopped) {
        high = size;
        break;
      }
    }
    return {low, high};
  }

  // The size a hop's word points at, where it lies between the bounds; the middle otherwise.
  std::uint32_t nextSize(std::uint32_t low, std::uint32_t high) const {
    if (result_.reportedMtu > 0 && static_cast<std::uint32_t>(result_.reportedMtu) > overhead_) {
      // The size it names, then the one above, which confirms it as the limit.
      const std::uint32_t pointed = static_cast<std::uint32_t>(result_.reportedMtu) - overhead_;
      for (const std::uint32_t size : {pointed, pointed + 1}) {
        if (size > low && size < high && !judged_.count(size)) return size;
      }
    }
    return low + (high - low) / 2;
  }

  Verdict judge(std::uint32_t size, int tries = 0) {
    if (tries == 0) tries = lossy_ ? limits_.triesOnLossyPath : limits_.tries;
    bool lostOne = false;
    Judged judged;
    for (judged.tries = 1; judged.tries <= tries; ++judged.tries) {
      const MtuTry outcome = tryOnce_(size);
      ++result_.triesMade;
      if (outcome.kind == MtuTry::Kind::Answered) {
        if (lostOne) lossy_ = true;
        judged.verdict = Verdict::Pass;
        break;
      }
      if (outcome.kind == MtuTry::Kind::TooBig) {
        noteReport(outcome);
        judged.verdict = Verdict::Refused;
        break;
      }
      if (outcome.kind == MtuTry::Kind::Stopped) {
        result_.stopped = true;
        return Verdict::Stopped;
      }
      lostOne = true;
    }
    if (judged.tries > tries) judged.tries = tries;
    judged_[size] = judged;
    return judged.verdict;
  }

  void noteReport(const MtuTry& outcome) {
    if (outcome.reportedMtu <= 0) return;
    if (outcome.reportedBy.empty()) {
      if (result_.localMtu == 0 || outcome.reportedMtu < result_.localMtu) result_.localMtu = outcome.reportedMtu;
      return;
    }
    if (result_.reportedMtu == 0 || outcome.reportedMtu < result_.reportedMtu) {
      result_.reportedMtu = outcome.reportedMtu;
      result_.reportedBy = outcome.reportedBy;
    }
  }

  MtuSearchResult finish(std::optional<std::uint32_t> largest) {
    result_.largest = largest;
    if (largest) {
      for (const auto& [size, judged] : judged_) {
        if (size > *largest && judged.verdict != Verdict::Pass && judged.verdict != Verdict::Stopped) {
          result_.smallestRefused = size;
          result_.refusedInSilence = judged.verdict == Verdict::Silent;
          break;
        }
      }
    }
    return result_;
  }

  const MtuSearchLimits& limits_;
  std::uint32_t overhead_;
  const std::function<MtuTry(std::uint32_t)>& tryOnce_;
  std::map<std::uint32_t, Judged> judged_;
  bool lossy_ = false;
  MtuSearchResult result_;
};

}  // namespace

MtuSearchResult searchLargestRequest(const MtuSearchLimits& limits, std::uint32_t overhead,
                                     const std::function<MtuTry(std::uint32_t size)>& tryOnce) {
  return Bisection(limits, overhead, tryOnce).run();
}

}  // namespace connchk::client
