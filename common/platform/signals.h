// Ctrl-C and termination requests for the terminal modes, handled on a thread of their own so that
// what they do may take locks (a signal handler may not).
#pragma once

#include <functional>
#include <thread>

namespace connchk::platform {

class SignalWatcher {
 public:
  // Blocks SIGINT and SIGTERM in the calling thread and every thread it starts afterwards; call it
  // first in main, before any thread exists. `onSignal` gets the signal and how many have come.
  explicit SignalWatcher(std::function<void(int signal, int count)> onSignal);
  ~SignalWatcher();
  SignalWatcher(const SignalWatcher&) = delete;
  SignalWatcher& operator=(const SignalWatcher&) = delete;

 private:
  std::thread thread_;
};

}  // namespace connchk::platform
