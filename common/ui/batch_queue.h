// Items handed from a worker or service thread to the window: the producer appends under a short
// lock and never waits on the window; the window takes everything pending at once, on a timer of
// its own, so a flood of items costs the window one redraw per tick rather than one per item.
#pragma once

#include <mutex>
#include <utility>
#include <vector>

namespace connchk::ui {

// The window's drain timer: about 30 redraws a second at most.
inline constexpr int BatchIntervalMs = 33;

template <typename Item>
class BatchQueue {
 public:
  void push(Item item) {
    std::lock_guard<std::mutex> hold(mutex_);
    pending_.push_back(std::move(item));
  }

  std::vector<Item> takeAll() {
    std::vector<Item> taken;
    std::lock_guard<std::mutex> hold(mutex_);
    taken.swap(pending_);
    return taken;
  }

 private:
  std::mutex mutex_;
  std::vector<Item> pending_;
};

}  // namespace connchk::ui
