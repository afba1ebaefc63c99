#include "server/sender_statistics.h"

#include "common/text_format.h"

namespace connchk::server {

void SenderStatistics::setView(StatisticsView* view) {
  std::lock_guard<std::mutex> hold(mutex_);
  view_ = view;
}

void SenderStatistics::record(std::uint32_t addressNetworkOrder, unsigned long length) {
  std::lock_guard<std::mutex> hold(mutex_);
  for (auto& slot : slots_) {
    if (slot == addressNetworkOrder) return;
    if (slot == 0) {
      slot = addressNetworkOrder;
      if (view_) view_->appendStatisticsLine(lineFor(addressNetworkOrder, length));
      return;
    }
  }
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
