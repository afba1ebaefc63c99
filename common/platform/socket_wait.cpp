#include "common/platform/socket_wait.h"

#include <sys/socket.h>

#include <cerrno>
#include <chrono>

namespace connchk::platform {

Connecting connectWithin(int fd, const Address& address, int ms, const StopEvent& stop) {
  sockaddr_storage to{};
  const socklen_t length = address.toSockaddr(to);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), length) == 0) return {ConnectEnd::Connected, {}};
  if (errno != EINPROGRESS && errno != EINTR) return {ConnectEnd::Failed, lastError("connect")};
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (stop.signalled()) return {ConnectEnd::Stopped, {}};
    if (left <= 0) return {ConnectEnd::Failed, Error{"connect", ETIMEDOUT, {}}};
    const WaitResult ready = waitWritable(fd, stop, static_cast<int>(left));
    if (ready != WaitResult::Ready) continue;  // stopped or timed out: told above
    int result = 0;
    socklen_t size = sizeof result;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &result, &size) != 0) return {ConnectEnd::Failed, lastError("getsockopt")};
    // The connect's own outcome, which the system kept for SO_ERROR.
    if (result != 0) return {ConnectEnd::Failed, Error{"connect", result, {}}};
    return {ConnectEnd::Connected, {}};
  }
}

}  // namespace connchk::platform
