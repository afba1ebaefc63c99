// Waiting that can be cut short: a stop event that wakes every wait on it, a wait for one
// descriptor, and a small epoll set for threads that serve many descriptors at once.
#pragma once

#include <sys/epoll.h>

#include <atomic>
#include <cstdint>
#include <span>

namespace connchk::platform {

// Signalled once, it stays signalled: every wait on it, now or later, returns at once.
class StopEvent {
 public:
  StopEvent();
  ~StopEvent();
  StopEvent(const StopEvent&) = delete;
  StopEvent& operator=(const StopEvent&) = delete;

  void signal();
  bool signalled() const { return signalled_.load(); }
  // Blocks until signalled.
  void wait() const;
  // Readable once signalled; -1 if no descriptor could be made (waits then look every 100 ms).
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
  std::atomic<bool> signalled_{false};
};

enum class WaitResult { Ready, Stopped, TimedOut };

// Waits until `fd` has something to read, `stop` is signalled, or `timeoutMs` has passed
// (-1: no limit). A stop wins over a descriptor that is ready as well.
WaitResult waitReadable(int fd, const StopEvent& stop, int timeoutMs = -1);
// The same for the first of several descriptors (a -1 among them is passed over).
WaitResult waitReadable(std::span<const int> fds, const StopEvent& stop, int timeoutMs = -1);
// The same for room to send (or a pending connection that has ended, either way).
WaitResult waitWritable(int fd, const StopEvent& stop, int timeoutMs = -1);

// An epoll set, level-triggered. Each descriptor carries a tag that comes back with its events.
class Poller {
 public:
  Poller();
  ~Poller();
  Poller(const Poller&) = delete;
  Poller& operator=(const Poller&) = delete;

  bool valid() const { return fd_ >= 0; }
  int error() const { return error_; }  // why the set could not be made
  bool add(int fd, std::uint32_t events, std::uint64_t tag);
  bool modify(int fd, std::uint32_t events, std::uint64_t tag);
  void remove(int fd);
  // Ready descriptors, at most `capacity`, after waiting at most `timeoutMs` (-1: no limit);
  // 0 when the time ran out or a signal came.
  int wait(epoll_event* ready, int capacity, int timeoutMs);

 private:
  int fd_ = -1;
  int error_ = 0;
};

}  // namespace connchk::platform
