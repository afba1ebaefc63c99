// One probe: a run of its own (its own sockets, worker thread and stop) that must end within the
// scrape's time, and what the exporter reads from it. Probes run side by side; the terminal
// exchange, which needs UDP port 855 of this host, is taken by one probe at a time.
#pragma once

#include <chrono>
#include <mutex>
#include <optional>

#include "client/exporter_query.h"
#include "client/trace.h"
#include "client/run_outcome.h"
#include "common/activity_log.h"
#include "common/platform/wait.h"

namespace connchk::client {

// What one probe found.
struct ProbeResult {
  RunOutcome outcome;
  bool started = true;   // false when the check could not start here (or port 855 stayed busy)
  bool dropped = false;  // its scraper left before it ended: no one is waiting for the figures
  double durationSeconds = 0;
  std::optional<TypeTrace> trace;  // trace=1: where the type stops (nullopt when it was not traced)
};

// The figures of a probe, read from its run here alone.
struct ProbeFigures {
  bool success = false;  // the check passed (with loss or without)
  bool started = true;
  int sent = 0;
  int answered = 0;
  std::optional<double> lossRatio;  // when something was sent
  struct RoundTrips {
    double minSeconds, avgSeconds, maxSeconds;
  };
  std::optional<RoundTrips> roundTrips;  // when an answer was timed
  const char* verdict = "failure";        // "success", "failure" or "not-started"
  Judgement judgement;                    // the run's, when it started
  std::optional<int> lostThere, lostBack;  // from the server's account, when it gave one
};
ProbeFigures probeFigures(const ProbeResult& result);

// What may end a probe before its run does: the exporter stopping, and the scraper closing its
// connection (watched on `scraperSocket`, -1 when it is not known).
struct ProbeWatch {
  const platform::StopEvent& stopping;
  int scraperSocket = -1;

  // True once the scraper has closed its connection (or it broke).
  bool scraperGone() const;
};

class ProbeRunner {
 public:
  // Probe runs write to `log`, which must outlive the runner.
  explicit ProbeRunner(ActivityLog& log) : log_(log) {}

  // Runs `query` and stops it at `deadline` if it has not ended by then; stops it at once when the
  // exporter stops or the scraper goes (then the result is `dropped`).
  ProbeResult run(const ProbeQuery& query, std::chrono::steady_clock::time_point deadline, const ProbeWatch& watch);

 private:
  // Runs the query's rounds with `timeoutMs` for each answer, then asks the server's account for
  // `accountMs` (0: not asked).
  ProbeResult runChecked(const ProbeQuery& query, int timeoutMs, int accountMs,
                         std::chrono::steady_clock::time_point deadline, const ProbeWatch& watch);
  // Traces the query's type until `deadline`, one second at most per hop.
  std::optional<TypeTrace> traceWithin(const ProbeQuery& query, std::chrono::steady_clock::time_point deadline);
  bool waitForTerminalPort(std::unique_lock<std::timed_mutex>& port, std::chrono::steady_clock::time_point latest,
                           const ProbeWatch& watch);

  ActivityLog& log_;
  std::timed_mutex terminalPort_;
};

}  // namespace connchk::client
