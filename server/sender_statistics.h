// The distinct addresses that sent valid requests: 100 slots filled from the front and never
// freed, each shown once as "a.b.c.d размер N" (an IPv6 sender in its usual text form) with the
// size of its first accepted request. A host counts once whatever port or socket family it used:
// an IPv4 peer seen through an IPv6 socket is the same IPv4 sender.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "common/platform/address.h"

namespace connchk::server {

// Where a front-end shows statistics lines.
class StatisticsView {
 public:
  virtual ~StatisticsView() = default;
  virtual void appendStatisticsLine(const std::string& line) = 0;
};

// What a window shows beside a sender's line: its accepted requests and when the last came.
struct SenderActivity {
  platform::Address address;  // the host alone (port 0)
  std::uint64_t requests = 0;
  std::int64_t lastSeenUnixMs = 0;
};

class SenderStatistics {
 public:
  static constexpr int Slots = 100;

  void setView(StatisticsView* view);

  // Records one accepted request. A new address takes the next free slot and adds its line;
  // a known address, or any address once all slots are taken, changes nothing. The unspecified
  // address (0.0.0.0, ::) names no sender and is passed over.
  void record(const platform::Address& sender, unsigned long length);

  int filledSlots() const;

  // The filled slots in the order they were filled. Never waits on a view.
  std::vector<SenderActivity> activity() const;

  static std::string lineFor(const platform::Address& sender, unsigned long length);

 private:
  // Counts a request of a listed sender; false when `host` is not listed (yet). Under activityMutex_.
  bool countKnown(const platform::Address& host, std::int64_t nowMs);

  // New senders take their slots one at a time under this lock, which is held while their line
  // goes to the view, so that the lines come in slot order.
  std::mutex newSenderMutex_;
  StatisticsView* view_ = nullptr;
  // The slots, guarded by their own lock, never held while a view is called: a request from a
  // listed sender, and a window reading the slots, never wait on a view.
  mutable std::mutex activityMutex_;
  std::array<SenderActivity, Slots> activity_{};
  std::size_t filled_ = 0;
};

}  // namespace connchk::server
