#include "server/sender_statistics.h"

#include <chrono>

#include "common/text_format.h"

namespace connchk::server {

void SenderStatistics::setView(StatisticsView* view) {
  std::lock_guard<std::mutex> hold(newSenderMutex_);
  view_ = view;
}

namespace {
std::int64_t unixMsNow() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}
}  // namespace

bool SenderStatistics::countKnown(const platform::Address& host, std::int64_t nowMs) {
  for (std::size_t i = 0; i < filled_; ++i) {
    if (activity_[i].address == host) {
      ++activity_[i].requests;
      activity_[i].lastSeenUnixMs = nowMs;
      return true;
    }
  }
  return false;
}

void SenderStatistics::record(const platform::Address& sender, unsigned long length) {
  const platform::Address host = sender.unmapped().withPort(0);
  if (host == platform::Address::any(host.family())) return;
  const std::int64_t now = unixMsNow();
  {
    std::lock_guard<std::mutex> hold(activityMutex_);
    if (countKnown(host, now) || filled_ == activity_.size()) return;
  }
  std::lock_guard<std::mutex> one(newSenderMutex_);
  {
    // Another thread may have listed it meanwhile.
    std::lock_guard<std::mutex> hold(activityMutex_);
    if (countKnown(host, now) || filled_ == activity_.size()) return;
    activity_[filled_++] = SenderActivity{host, 1, now};
  }
  if (view_) view_->appendStatisticsLine(lineFor(host, length));
}

std::vector<SenderActivity> SenderStatistics::activity() const {
  std::lock_guard<std::mutex> hold(activityMutex_);
  return std::vector<SenderActivity>(activity_.begin(), activity_.begin() + static_cast<std::ptrdiff_t>(filled_));
}

int SenderStatistics::filledSlots() const {
  std::lock_guard<std::mutex> hold(activityMutex_);
  return static_cast<int>(filled_);
}

std::string SenderStatistics::lineFor(const platform::Address& sender, unsigned long length) {
  return sender.text() + format(" размер %lu", length);
}

}  // namespace connchk::server
