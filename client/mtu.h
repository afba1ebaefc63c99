// How big a request each protocol type carries to the server with fragmentation forbidden on the
// way (DF set over IPv4; IPv6 never fragments on the way), and what the path says about it: the
// largest request answered, the IP packet it makes, the MTU a hop reported and who reported it,
// and whether larger packets are refused honestly or vanish without a word (a black hole).
// A front-end runs the check on a thread of its own and shows the rows; none of it needs to know
// how a row was measured.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "client/run_parameters.h"
#include "common/activity_log.h"

namespace connchk::client {

inline constexpr std::uint32_t MtuDefaultLargestSize = 1500;
inline constexpr std::uint32_t MtuMaxSize = 65000;  // -s with --mtu: the largest size tried
inline constexpr int MtuDefaultTimeoutMs = 1000;    // the wait of one try where -W is not given

struct MtuPlan {
  RunRequest request;      // address, family, time-out of one try; size: the largest size tried
  std::vector<int> types;  // catalogue indices in the order to measure; empty: every type
};

enum class MtuVerdict {
  Honest,     // larger packets are refused with a word from the path (or this host's own link)
  BlackHole,  // larger packets vanish without a word
  NoLimit,    // the largest size tried was answered
  NoAnswer,   // not even the smallest size was answered
  NotRun,     // the type could not be measured here (reason says why)
};
const char* mtuVerdictName(MtuVerdict verdict);  // "honest", "black-hole", "no-limit", "no-answer", "not-run"

struct MtuRow {
  int typeIndex = 0;
  MtuVerdict verdict = MtuVerdict::NotRun;
  std::string reason;                    // for NotRun, in Russian
  std::optional<std::uint32_t> largest;  // the largest request answered (TCP: the segment it carried)
  std::optional<int> pathMtu;            // the IP packet that request makes
  std::optional<int> reportedMtu;        // the smallest MTU the path named (a hop, or this host's link)
  std::string reportedBy;                // the hop's address, "local" for this host's link, empty: none
  std::optional<int> kernelPathMtu;      // the path MTU the system holds for the server afterwards
  int tries = 0;                         // requests sent
  bool stopped = false;
};

struct MtuResult {
  bool started = false;  // false: the address could not be resolved or was refused
  std::string failure;
  std::vector<MtuRow> rows;
  // 0 when every type measured found its limit honestly or met none, 1 when one is a black hole or
  // got no answer, 2 when the check could not start or no type could be measured.
  int exitStatus() const;
};

// Called on the check's thread when a type's row is final.
using MtuProgress = std::function<void(const MtuRow& row, std::size_t position, std::size_t total)>;

class MtuCheck {
 public:
  explicit MtuCheck(ActivityLog& log) : log_(log) {}

  // Measures the plan's types one after another and logs the table; blocks.
  MtuResult run(const MtuPlan& plan, const MtuProgress& progress = {});

  // From any thread: the type being measured ends with what it found, the rest are not run.
  void stop() { stop_ = true; }

 private:
  ActivityLog& log_;
  std::atomic<bool> stop_{false};
};

// The table, a header then one line per type.
std::vector<std::string> mtuTableLines(const std::vector<MtuRow>& rows);

// {"kind": "mtu", "parameters": ..., "types": [{"short_name", "mtu": {...}}, ...]}.
nlohmann::ordered_json mtuJson(const MtuPlan& plan, const MtuResult& result);

// The cell a sweep shows for a row: "1400" (path MTU), "1400 ЧД" for a black hole, "-".
std::string mtuCellText(const MtuRow& row);

}  // namespace connchk::client
