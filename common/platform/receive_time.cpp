#include "common/platform/receive_time.h"

#include <linux/time_types.h>
#include <time.h>

#include <cstring>

namespace connchk::platform {

namespace {
constexpr std::int64_t NsPerS = 1'000'000'000;

std::int64_t nanoseconds(std::int64_t seconds, std::int64_t ns) { return seconds * NsPerS + ns; }
}  // namespace

void askForReceiveStamps(int fd) {
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
}

std::optional<std::int64_t> readReceiveStamp(msghdr& message) {
  std::optional<std::int64_t> stamp;
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_len < CMSG_LEN(0)) continue;
    const std::size_t size = c->cmsg_len - CMSG_LEN(0);
    if (c->cmsg_type == SO_TIMESTAMPNS_NEW && size >= sizeof(__kernel_timespec)) {
      __kernel_timespec t;
      std::memcpy(&t, CMSG_DATA(c), sizeof t);
      stamp = nanoseconds(t.tv_sec, t.tv_nsec);
    } else if (c->cmsg_type == SO_TIMESTAMPNS_OLD && size >= sizeof(timespec)) {
      timespec t;
      std::memcpy(&t, CMSG_DATA(c), sizeof t);
      stamp = nanoseconds(t.tv_sec, t.tv_nsec);
    }
  }
  // A stamp of zero is the kernel's "none" (a packet that came in before stamping was asked for).
  if (stamp && *stamp <= 0) return std::nullopt;
  return stamp;
}

ClockReading readClocks() {
  // The wall clock between two monotonic readings, set against their middle.
  const MonotonicTime before = std::chrono::steady_clock::now();
  timespec wall{};
  ::clock_gettime(CLOCK_REALTIME, &wall);
  const MonotonicTime after = std::chrono::steady_clock::now();
  return ClockReading{nanoseconds(wall.tv_sec, wall.tv_nsec), before + (after - before) / 2};
}

std::optional<MonotonicTime> stampOnMonotonic(std::int64_t stampWallNs, const ClockReading& reading) {
  const std::int64_t ageNs = reading.wallNs - stampWallNs;
  if (ageNs < 0) return std::nullopt;
  return reading.monotonic - std::chrono::nanoseconds(ageNs);
}

MonotonicTime ReceiveTime::arrival(MonotonicTime notBefore) const {
  if (stamped && *stamped >= notBefore && *stamped <= returned) return *stamped;
  return returned;
}

}  // namespace connchk::platform
