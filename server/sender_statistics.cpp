#include "server/sender_statistics.h"

#include <chrono>

#include "common/text_format.h"

namespace connchk::server {

void SenderStatistics::setView(StatisticsView* view) {
  std::lock_guard<std::mutex> hold(mutex_);
  view_ = view;
}

void SenderStatistics::record(std::uint32_t addressNetworkOrder, unsigned long length) {
  if (addressNetworkOrder == 0) return;  // the empty-slot mark is no sender
  std::lock_guard<std::mutex> hold(mutex_);
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    if (slots_[i] == addressNetworkOrder) return noteRequest(i, addressNetworkOrder);
    if (slots_[i] == 0) {
      slots_[i] = addressNetworkOrder;
      noteRequest(i, addressNetworkOrder);
      if (view_) view_->appendStatisticsLine(lineFor(addressNetworkOrder, length));
      return;
    }
  }
}

void SenderStatistics::noteRequest(std::size_t slot, std::uint32_t addressNetworkOrder) {
  const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::system_clock::now().time_since_epoch());
  std::lock_guard<std::mutex> hold(activityMutex_);
  SenderActivity& sender = activity_[slot];
  sender.addressNetworkOrder = addressNetworkOrder;
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
  int filled = 0;
  for (const auto slot : slots_) filled += slot != 0;
  return filled;
}

std::string SenderStatistics::lineFor(std::uint32_t addressNetworkOrder, unsigned long length) {
  // The address is in network order: its first byte in memory is the first octet.
  const auto* octets = reinterpret_cast<const unsigned char*>(&addressNetworkOrder);
  return format("%d.%d.%d.%d размер %lu", octets[0], octets[1], octets[2], octets[3], length);
}

}  // namespace connchk::server
