// Signals for both programs, taken on a thread of their own so that what they do may take locks
// (a signal handler may not). Interrupt (Ctrl-C) and termination requests always reach the
// program's handler, whatever came before them; a hang-up reaches it too (the server reopens its
// log file); the user signals are taken and passed over; a broken pipe never ends a program.
#pragma once

#include <functional>
#include <initializer_list>
#include <thread>

#include "common/platform/wait.h"

namespace connchk::platform {

class SignalWatcher {
 public:
  // Blocks SIGINT, SIGTERM, SIGHUP, SIGUSR1 and SIGUSR2 in the calling thread and in every thread
  // it starts afterwards (call it before any thread exists), and ignores SIGPIPE. `onSignal` gets
  // SIGINT, SIGTERM and SIGHUP with the number of interrupt and termination requests so far
  // (this one included; a hang-up does not count). `alsoWatched` are handed over the same way
  // (SIGQUIT for a client's summary so far) and do not count either.
  explicit SignalWatcher(std::function<void(int signal, int count)> onSignal, std::initializer_list<int> alsoWatched = {});
  ~SignalWatcher();
  SignalWatcher(const SignalWatcher&) = delete;
  SignalWatcher& operator=(const SignalWatcher&) = delete;

 private:
  StopEvent stop_;
  std::thread thread_;
};

// Gives descriptors 0, 1 and 2 /dev/null where they are closed, so that a program started with a
// closed stdout neither prints into the first socket it opens nor fails on its lines.
void keepStandardDescriptorsOpen();

}  // namespace connchk::platform
