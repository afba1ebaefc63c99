#include "common/platform/signals.h"

#include <pthread.h>
#include <signal.h>

#include <utility>

namespace connchk::platform {
namespace {
// SIGUSR1 only wakes the watcher so that it can end with its owner.
sigset_t watchedSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGUSR1);
  return set;
}
}  // namespace

SignalWatcher::SignalWatcher(std::function<void(int, int)> onSignal) {
  const sigset_t set = watchedSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  thread_ = std::thread([set, onSignal = std::move(onSignal)] {
    for (int count = 0;;) {
      int signal = 0;
      if (sigwait(&set, &signal) != 0) continue;
      if (signal == SIGUSR1) return;
      onSignal(signal, ++count);
    }
  });
}

SignalWatcher::~SignalWatcher() {
  pthread_kill(thread_.native_handle(), SIGUSR1);
  thread_.join();
}

}  // namespace connchk::platform
