// Starting and stopping test runs. One run at a time: each has its own record, its own stop flag
// and its own worker thread, and the buttons come back only when that worker has ended.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "client/run_parameters.h"
#include "client/test_skeleton.h"
#include "common/activity_log.h"

namespace connchk::client {

// The front-end's buttons. Both hooks may be called from the worker thread; they must not wait
// for the front-end's own thread (post to it instead), since that thread may be joining the worker.
struct ButtonHooks {
  std::function<void()> runStarted;      // Check disabled, Stop enabled
  std::function<void()> restoreButtons;  // Check enabled, Stop disabled
  // Each round as it ends (answered or not), for live views; called on the worker thread.
  std::function<void(const RoundRecord&)> roundEnded;
};

enum class StartRefusal { None, AddressTooLong, AlreadyRunning };

class RunControl {
 public:
  RunControl(ActivityLog& log, ButtonHooks hooks);
  // Asks a running worker to stop and waits for it.
  ~RunControl();
  RunControl(const RunControl&) = delete;
  RunControl& operator=(const RunControl&) = delete;

  // Copies the request into a new record and starts the worker it calls for. Refuses, before
  // anything starts, an address over 255 characters or a second run.
  StartRefusal startRun(const RunRequest& request);

  // Asks the running worker to stop; it sees the request at its next check.
  void stopRun();

  bool running() const;

  // Waits for the current worker to end and tells how its run went.
  RunOutcome waitForEnd();

  // The last run's record as its worker left it (an infinite count reads 2).
  TestRunParameters lastParameters();

 private:
  struct Run;
  ActivityLog& log_;
  ButtonHooks hooks_;
  mutable std::mutex mutex_;
  std::shared_ptr<Run> current_;
  std::thread worker_;
};

const char* startRefusalText(StartRefusal refusal);

}  // namespace connchk::client
