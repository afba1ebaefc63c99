// The distinct addresses that sent valid requests: 100 slots filled from the front and never
// freed, each shown once as "a.b.c.d размер N" with the size of its first accepted request.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace connchk::server {

// Where a front-end shows statistics lines.
class StatisticsView {
 public:
  virtual ~StatisticsView() = default;
  virtual void appendStatisticsLine(const std::string& line) = 0;
};

// What a window shows beside a sender's line: its accepted requests and when the last came.
struct SenderActivity {
  std::uint32_t addressNetworkOrder = 0;
  std::uint64_t requests = 0;
  std::int64_t lastSeenUnixMs = 0;
};

class SenderStatistics {
 public:
  static constexpr int Slots = 100;

  void setView(StatisticsView* view);

  // Records one accepted request. A new address takes the next free slot and adds its line;
  // a known address, or any address once all slots are taken, changes nothing.
  void record(std::uint32_t addressNetworkOrder, unsigned long length);

  int filledSlots() const;

  // The filled slots in the order they were filled. Never waits on a view.
  std::vector<SenderActivity> activity() const;

  static std::string lineFor(std::uint32_t addressNetworkOrder, unsigned long length);

 private:
  mutable std::mutex mutex_;
  std::array<std::uint32_t, Slots> slots_{};  // 0 marks an empty slot
  StatisticsView* view_ = nullptr;
  // Guarded by its own lock, never held while a view is called: a window reads it while a
  // service may be waiting on that window with the table's lock held.
  void noteRequest(std::size_t slot, std::uint32_t addressNetworkOrder);
  mutable std::mutex activityMutex_;
  std::array<SenderActivity, Slots> activity_{};
  std::size_t activityFilled_ = 0;
};

}  // namespace connchk::server
