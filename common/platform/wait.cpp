#include "common/platform/wait.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace connchk::platform {

StopEvent::StopEvent() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

StopEvent::~StopEvent() {
  if (fd_ >= 0) ::close(fd_);
}

void StopEvent::signal() {
  signalled_ = true;
  if (fd_ < 0) return;
  const std::uint64_t one = 1;
  // The counter is never read, so it stays readable; a full counter is readable as well.
  [[maybe_unused]] const ssize_t ignored = ::write(fd_, &one, sizeof one);
}

void StopEvent::wait() const {
  while (waitReadable(-1, *this) != WaitResult::Stopped) {
  }
}

WaitResult waitReadable(int fd, const StopEvent& stop, int timeoutMs) {
  return waitReadable(std::span<const int>(&fd, 1), stop, timeoutMs);
}

namespace {

WaitResult waitFor(std::span<const int> fds, short events, const StopEvent& stop, int timeoutMs) {
  // Without a descriptor of its own the stop is looked at every 100 ms.
  constexpr int StopLookMs = 100;
  constexpr std::size_t MostWatched = 8;
  pollfd watched[MostWatched + 1];
  const std::size_t count = std::min(fds.size(), MostWatched);
  for (std::size_t i = 0; i < count; ++i) watched[i] = {fds[i], events, 0};
  watched[count] = {stop.fd(), POLLIN, 0};
  for (;;) {
    if (stop.signalled()) return WaitResult::Stopped;
    const bool sliced = stop.fd() < 0 && (timeoutMs < 0 || timeoutMs > StopLookMs);
    const int slice = sliced ? StopLookMs : timeoutMs;
    const int n = ::poll(watched, count + 1, slice);
    if (n < 0 && errno == EINTR) continue;
    if (stop.signalled()) return WaitResult::Stopped;
    // A failed poll counts as ready: the receive that follows reports what is wrong.
    if (n < 0) return WaitResult::Ready;
    for (std::size_t i = 0; i < count; ++i) {
      if (watched[i].revents != 0) return WaitResult::Ready;
    }
    if (n == 0 && !sliced) return WaitResult::TimedOut;
    if (n == 0 && timeoutMs > 0) timeoutMs -= slice;
  }
}

}  // namespace

WaitResult waitReadable(std::span<const int> fds, const StopEvent& stop, int timeoutMs) {
  return waitFor(fds, POLLIN, stop, timeoutMs);
}

WaitResult waitWritable(int fd, const StopEvent& stop, int timeoutMs) {
  return waitFor(std::span<const int>(&fd, 1), POLLOUT, stop, timeoutMs);
}

Poller::Poller() : fd_(epoll_create1(EPOLL_CLOEXEC)), error_(fd_ < 0 ? errno : 0) {}

Poller::~Poller() {
  if (fd_ >= 0) ::close(fd_);
}

bool Poller::add(int fd, std::uint32_t events, std::uint64_t tag) {
  epoll_event e{};
  e.events = events;
  e.data.u64 = tag;
  return epoll_ctl(fd_, EPOLL_CTL_ADD, fd, &e) == 0;
}

bool Poller::modify(int fd, std::uint32_t events, std::uint64_t tag) {
  epoll_event e{};
  e.events = events;
  e.data.u64 = tag;
  return epoll_ctl(fd_, EPOLL_CTL_MOD, fd, &e) == 0;
}

void Poller::remove(int fd) { epoll_ctl(fd_, EPOLL_CTL_DEL, fd, nullptr); }

int Poller::wait(epoll_event* ready, int capacity, int timeoutMs) {
  const int n = epoll_wait(fd_, ready, capacity, timeoutMs);
  return n < 0 ? 0 : n;
}

}  // namespace connchk::platform
