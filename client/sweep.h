// A sweep: every protocol type (or a chosen few) against one address, one run after another, and
// for each the run's verdict (passed, passed with loss, failed, with the reason), or not run.
// A front-end runs it on a thread of its own and may show each type as it ends.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "client/mtu.h"
#include "client/run_control.h"
#include "client/run_outcome.h"
#include "client/run_parameters.h"
#include "client/trace.h"
#include "common/platform/address.h"

namespace connchk::client {

inline constexpr int DefaultSweepCount = 3;

struct SweepPlan {
  RunRequest request;      // address, size, count, terminal, interval and time-out of every run
  std::vector<int> types;  // catalogue indices in the order to run; empty: the whole catalogue
  std::vector<TypeTrace> traces;  // --sweep --trace: each type's trace, shown beside its row
  std::vector<MtuRow> mtu;        // --sweep --mtu: each type's largest request, shown beside its row
};

struct SweepRow {
  int typeIndex = 0;
  Verdict verdict = Verdict::NotRun;
  std::string reasonCode;  // ASCII, for scripts: "no-answer", "no-raw-right", "port-855-taken", ...
  std::string reason;      // the same for a person, in Russian
  RunOutcome outcome;      // empty for a type not run
  RunSummary summary;
  std::optional<TypeTrace> trace;  // where the type stops, when the sweep was traced too
  std::optional<MtuRow> mtu;       // what --mtu found for the type (pathMtu, verdict), when measured too
};

struct SweepResult {
  bool started = false;  // false: the address could not be resolved or was refused
  std::string failure;   // why not, when not started
  std::vector<SweepRow> rows;
  // 0 when no type failed and at least one passed (with loss or without), 1 when any failed, 2
  // when the sweep could not start or no type could be run.
  int exitStatus() const;
};

// Called on the sweep's thread: before a type's run, and when its row is final.
struct SweepProgress {
  std::function<void(int typeIndex, std::size_t position, std::size_t total)> typeStarted;
  std::function<void(const SweepRow& row, std::size_t position, std::size_t total)> typeFinished;
};

// The row of a type that ran, with its run's judgement.
SweepRow rowOfRun(int typeIndex, const RunOutcome& outcome);

// The row of a type that cannot run on this host now towards a server of `family`, or nullopt when
// it can: raw types need the raw-socket right, ICMP that right or the user's group in
// ping_group_range; TELM-UDP needs UDP port 855 of this host (taken when a server or another
// client runs here) and the right to bind it.
// An address way out (`way`) is where port 855 is looked at.
std::optional<SweepRow> notRunnable(int typeIndex, platform::Family family, const platform::WayOut& way = {});

class Sweep {
 public:
  Sweep(RunControl& control, ActivityLog& log) : control_(control), log_(log) {}

  // Runs the plan to its end; blocks. Stop ends the type running and leaves
  // the rest not run. One sweep per object: a stop asked for before run() holds for it.
  SweepResult run(const SweepPlan& plan, const SweepProgress& progress = {});

  // From any thread.
  void stop();

 private:
  RunControl& control_;
  ActivityLog& log_;
  std::atomic<bool> stop_{false};
};

}  // namespace connchk::client
