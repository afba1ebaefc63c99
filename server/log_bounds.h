// How much a flood of requests may write into the log: each service writes the lines of at most
// `ratePerSecond` requests a second in full, and of none while the log's disk has less room than
// the keep-free margin. The requests whose lines are left out are still answered and counted;
// once a second one line per service says how many there were.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace connchk::server {

// The room the log leaves free on its disk: the larger of `bytes` and `percent` of the disk.
struct KeepFree {
  std::uint64_t bytes = 1ull << 30;
  unsigned percent = 5;
  bool bounded() const { return bytes > 0 || percent > 0; }
  std::uint64_t marginFor(std::uint64_t diskBytes) const;
};

// "0" (no margin), a size with an optional unit K, M, G or T (powers of 1024; "1G", "500M",
// "4096"), or a share of the disk ("5%", at most 100).
std::optional<KeepFree> parseKeepFree(const std::string& text);

struct LogBounds {
  unsigned ratePerSecond = 100;  // 0: no bound
  KeepFree keepFree;
};

// What became of a request whose lines were left out.
enum class RequestOutcome { Answered, Erroneous, Unanswered };

struct LeftOut {
  std::uint64_t answered = 0;
  std::uint64_t erroneous = 0;
  std::uint64_t unanswered = 0;  // the answer could not be sent
  bool any() const { return answered + erroneous + unanswered > 0; }
};

// One service's share: its thread asks admit() for every request and reports the outcome of each
// one left out; the log's watcher takes the tallies once a second.
class RequestLineGate {
 public:
  using Clock = std::chrono::steady_clock;

  void setRate(unsigned perSecond) { rate_ = perSecond; }
  bool bounded() const { return rate_ != 0; }
  // Whether the lines of a request that begins at `now` are written: not while the disk is low,
  // and within the rate of the current second otherwise.
  bool admit(Clock::time_point now, bool diskLow);
  void leftOut(RequestOutcome outcome);
  // The tallies since the last take, emptied.
  LeftOut take();

 private:
  unsigned rate_ = 0;
  Clock::time_point windowStart_{};
  unsigned inWindow_ = 0;
  std::atomic<std::uint64_t> answered_{0}, erroneous_{0}, unanswered_{0};
};

}  // namespace connchk::server
