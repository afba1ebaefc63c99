#include "common/platform/socket_wait.h"

#include <sys/socket.h>

#include <cerrno>
#include <chrono>

namespace connchk::platform {

ConnectEnd connectWithin(int fd, const Address& address, int ms, const StopEvent& stop, int& error) {
  sockaddr_storage to{};
  const socklen_t length = address.toSockaddr(to);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), length) == 0) {
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
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (stop.signalled()) {
      error = 0;
      return ConnectEnd::Stopped;
    }
    if (left <= 0) {
      error = ETIMEDOUT;
      return ConnectEnd::Failed;
    }
    const WaitResult ready = waitWritable(fd, stop, static_cast<int>(left));
    if (ready != WaitResult::Ready) continue;  // stopped or timed out: told above
    int result = 0;
    socklen_t size = sizeof result;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &result, &size) != 0) result = errno;
    error = result;
    return result == 0 ? ConnectEnd::Connected : ConnectEnd::Failed;
  }
}

}  // namespace connchk::platform
