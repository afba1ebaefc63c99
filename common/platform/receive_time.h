// When a message arrived, as the kernel saw it where it can tell.
//
// A program that waits for an answer wakes some time after the packet came in: the wake-up of its
// thread, the scheduler and whatever else runs on the host all lie between. A socket that asks for
// receive stamps (SO_TIMESTAMPNS) gets with every message the time at which the kernel took the
// packet in, before any of that. The stamp is on the wall clock (CLOCK_REALTIME), while round trips
// are measured on the monotonic clock, which no one can step: the stamp is carried over by the
// offset of the two clocks read together right after the receive. Where no stamp comes (a kernel
// or socket that gives none) or where the wall clock was stepped around the receive, the time the
// receive returned stands instead.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <optional>

namespace connchk::platform {

using MonotonicTime = std::chrono::steady_clock::time_point;

// Asks the kernel to stamp every message the socket receives (datagram, raw, ICMP and stream
// sockets alike). Best effort: where it fails the receives simply carry no stamp. The kernel turns
// stamping on for the whole system a moment after the first socket asks: a packet that came in
// before carries no stamp over TCP, and one of its receive (not its arrival) over the others.
void askForReceiveStamps(int fd);

// The kernel's receive stamp handed over with a message (its control part), in nanoseconds of
// the wall clock since 1970; nullopt where none came. Both forms the kernel may use are read
// (SCM_TIMESTAMPNS with the system's timespec, and the form with two 64-bit fields that comes
// where SO_TIMESTAMPNS_NEW was asked for).
std::optional<std::int64_t> readReceiveStamp(msghdr& message);

// The wall clock and the monotonic clock, read together.
struct ClockReading {
  std::int64_t wallNs = 0;  // since 1970
  MonotonicTime monotonic{};
};
ClockReading readClocks();

// A wall-clock stamp carried over to the monotonic clock by the clocks' offset at `reading`,
// which was taken after the stamped message was received. nullopt when the stamp lies after the
// reading, which only a wall clock stepped back between the two can make.
std::optional<MonotonicTime> stampOnMonotonic(std::int64_t stampWallNs, const ClockReading& reading);

// When a receive's message came.
struct ReceiveTime {
  MonotonicTime returned{};              // right after the receive returned
  std::optional<MonotonicTime> stamped;  // the kernel's stamp, on the monotonic clock

  // The kernel's time where it lies between `notBefore` (the send of the request it answers) and
  // the return of the receive; otherwise the time the receive returned. A stamp outside that span
  // can only come from a wall clock stepped between the stamp and the reading of the clocks.
  MonotonicTime arrival(MonotonicTime notBefore) const;
};

}  // namespace connchk::platform
