#include "common/platform/signals.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace connchk::platform {
namespace {

sigset_t watchedSignals(std::initializer_list<int> alsoWatched) {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2}) sigaddset(&set, signal);
  for (const int signal : alsoWatched) sigaddset(&set, signal);
  return set;
}

// The next watched signal, or 0 once `stop` is signalled.
int nextSignal(int signals, const StopEvent& stop) {
  for (;;) {
    if (waitReadable(signals, stop) == WaitResult::Stopped) return 0;
    signalfd_siginfo info{};
    if (::read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      return static_cast<int>(info.ssi_signo);
    }
  }
}

}  // namespace

SignalWatcher::SignalWatcher(std::function<void(int, int)> onSignal, std::initializer_list<int> alsoWatched) {
  ::signal(SIGPIPE, SIG_IGN);
  const sigset_t set = watchedSignals(alsoWatched);
  // Blocked, the signals wait for this descriptor instead of taking their default action; where
  // no descriptor can be made they keep their defaults, which at least end the program.
  const int signals = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
  if (signals >= 0) pthread_sigmask(SIG_BLOCK, &set, nullptr);
  thread_ = std::thread([this, signals, onSignal = std::move(onSignal)] {
    for (int requests = 0;;) {
      const int signal = nextSignal(signals, stop_);
      if (signal == 0) break;
      if (signal == SIGUSR1 || signal == SIGUSR2) continue;
      if (signal == SIGINT || signal == SIGTERM) ++requests;
      onSignal(signal, requests);
    }
    ::close(signals);
  });
}

SignalWatcher::~SignalWatcher() {
  stop_.signal();
  thread_.join();
}

void keepStandardDescriptorsOpen() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    const int opened = open("/dev/null", O_RDWR);
    if (opened >= 0 && opened != fd) {
      dup2(opened, fd);
      close(opened);
    }
  }
}

}  // namespace connchk::platform
