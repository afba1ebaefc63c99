#include "common/platform/socket_wait.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace connchk::platform {

bool setNonBlocking(int fd, int& error) {
  const int flags = ::fcntl(fd, F_GETFL);
  const bool ok = flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
  error = ok ? 0 : errno;
  return ok;
}

namespace {
Readiness waitFor(int fd, short events, int ms, int& error) {
  pollfd p{fd, events, 0};
  const int rc = ::poll(&p, 1, std::max(ms, 0));
  error = rc < 0 ? errno : 0;
  if (rc < 0) return error == EINTR ? Readiness::TimedOut : Readiness::Failed;
  return rc == 0 ? Readiness::TimedOut : Readiness::Ready;
}
}  // namespace

Readiness waitReadable(int fd, int ms, int& error) { return waitFor(fd, POLLIN, ms, error); }

Readiness waitWritable(int fd, int ms, int& error) { return waitFor(fd, POLLOUT, ms, error); }

ConnectEnd connectWithin(int fd, const sockaddr_in& address, int ms, const std::function<bool()>& stopAsked,
                         int& error, int sliceMs) {
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    error = 0;
    return ConnectEnd::Connected;
  }
  if (errno != EINPROGRESS && errno != EINTR) {
    error = errno;
    return ConnectEnd::Failed;
  }
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    if (stopAsked && stopAsked()) {
      error = 0;
      return ConnectEnd::Stopped;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      error = ETIMEDOUT;
      return ConnectEnd::Failed;
    }
    const Readiness ready = waitWritable(fd, static_cast<int>(std::min<long long>(left, sliceMs)), error);
    if (ready == Readiness::Failed) return ConnectEnd::Failed;
    if (ready == Readiness::TimedOut) continue;
    int result = 0;
    socklen_t length = sizeof result;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &result, &length) != 0) result = errno;
    error = result;
    return result == 0 ? ConnectEnd::Connected : ConnectEnd::Failed;
  }
}

}  // namespace connchk::platform
