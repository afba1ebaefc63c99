#include "server/log_bounds.h"

#include <algorithm>
#include <charconv>

namespace connchk::server {

std::uint64_t KeepFree::marginFor(std::uint64_t diskBytes) const {
  return std::max(bytes, diskBytes / 100 * percent);
}

std::optional<KeepFree> parseKeepFree(const std::string& text) {
  if (text.empty() || text.size() > 20) return std::nullopt;
  std::uint64_t value = 0;
  const char* const end = text.data() + text.size();
  const auto [rest, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || rest == text.data()) return std::nullopt;
  const std::string unit(rest, end);
  if (unit == "%") {
    if (value > 100) return std::nullopt;
    return KeepFree{0, static_cast<unsigned>(value)};
  }
  unsigned shift = 0;
  if (unit == "K" || unit == "k") {
    shift = 10;
  } else if (unit == "M") {
    shift = 20;
  } else if (unit == "G") {
    shift = 30;
  } else if (unit == "T") {
    shift = 40;
  } else if (!unit.empty()) {
    return std::nullopt;
  }
  if (shift > 0 && value > (~std::uint64_t{0} >> shift)) return std::nullopt;
  return KeepFree{value << shift, 0};
}

bool RequestLineGate::admit(Clock::time_point now, bool diskLow) {
  if (diskLow) return false;
  if (rate_ == 0) return true;
  if (now - windowStart_ >= std::chrono::seconds(1)) {
    windowStart_ = now;
    inWindow_ = 0;
  }
  if (inWindow_ >= rate_) return false;
  ++inWindow_;
  return true;
}

void RequestLineGate::leftOut(RequestOutcome outcome) {
  switch (outcome) {
    case RequestOutcome::Answered: ++answered_; break;
    case RequestOutcome::Erroneous: ++erroneous_; break;
    case RequestOutcome::Unanswered: ++unanswered_; break;
  }
}

LeftOut RequestLineGate::take() { return {answered_.exchange(0), erroneous_.exchange(0), unanswered_.exchange(0)}; }

}  // namespace connchk::server
