// Starting and stopping test runs. One run at a time: each has its own request, its own stop
// event and its own worker thread, and its end is told only when that worker has finished its run.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "client/run_parameters.h"
#include "client/test_skeleton.h"
#include "common/activity_log.h"

namespace connchk::client {

// What a front-end hears of a run. Every event but `started` comes on the worker thread; none may
// wait for the front-end's own thread (post to it instead), since that thread may be joining the
// worker.
struct RunEvents {
  std::function<void()> started;  // a run has begun (called on the thread that started it)
  RoundHook roundEnded;           // each round as it ends (answered or not), with the figures so far
  // The run is over and `outcome` final, its judgement made; the summary belongs here.
  std::function<void(const RunOutcome& outcome)> ended;
};

enum class StartRefusal { None, AddressTooLong, AlreadyRunning };

class RunControl {
 public:
  RunControl(ActivityLog& log, RunEvents events);
  // Stops a running worker and waits for it.
  ~RunControl();
  RunControl(const RunControl&) = delete;
  RunControl& operator=(const RunControl&) = delete;

  // Starts the worker that the request calls for, with a copy of the request. Refuses, before
  // anything starts, an address over 255 characters or a second run.
  StartRefusal startRun(const RunRequest& request);

  // Stops the running worker: any wait it is in ends at once.
  void stopRun();

  bool running() const;

  // Waits for the current worker to end and tells how its run went.
  RunOutcome waitForEnd();

  // The request the last run ran from, once it has ended (a default request before).
  RunRequest lastRequest();

 private:
  struct Run;
  ActivityLog& log_;
  RunEvents events_;
  mutable std::mutex mutex_;
  std::shared_ptr<Run> current_;
  std::thread worker_;
};

const char* startRefusalText(StartRefusal refusal);

}  // namespace connchk::client
