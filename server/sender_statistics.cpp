#include "server/sender_statistics.h"

#include <chrono>

#include "common/text_format.h"

namespace connchk::server {

void SenderStatistics::setView(StatisticsView* view) {
  std::lock_guard<std::mutex> hold(mutex_);
  view_ = view;
}

void SenderStatistics::record(const platform::Address& sender, unsigned long length) {
  const platform::Address host = sender.unmapped().withPort(0);
  if (host == platform::Address::any(host.family())) return;
  std::lock_guard<std::mutex> hold(mutex_);
  for (std::size_t i = 0; i < filled_; ++i) {
    if (slots_[i] == host) return noteRequest(i, host);
  }
  if (filled_ == slots_.size()) return;
  slots_[filled_] = host;
  noteRequest(filled_++, host);
  if (view_) view_->appendStatisticsLine(lineFor(host, length));
}

void SenderStatistics::noteRequest(std::size_t slot, const platform::Address& host) {
  const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::system_clock::now().time_since_epoch());
  std::lock_guard<std::mutex> hold(activityMutex_);
  SenderActivity& sender = activity_[slot];
  sender.address = host;
  ++sender.requests;
  sender.lastSeenUnixMs = now.count();
  if (slot >= activityFilled_) activityFilled_ = slot + 1;
}

std::vector<SenderActivity> SenderStatistics::activity() const {
  std::lock_guard<std::mutex> hold(activityMutex_);
  return std::vector<SenderActivity>(activity_.begin(), activity_.begin() + static_cast<std::ptrdiff_t>(activityFilled_));
}

int SenderStatistics::filledSlots() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return static_cast<int>(filled_);
}

std::string SenderStatistics::lineFor(const platform::Address& sender, unsigned long length) {
  return sender.text() + format(" размер %lu", length);
}

}  // namespace connchk::server
