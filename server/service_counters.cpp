#include "server/service_counters.h"

namespace connchk::server {

const char* serviceLabel(std::size_t slot) {
  static constexpr const char* Labels[ServiceCount] = {
      "icmp",   "raw53",  "raw55",  "raw56",  "raw110", "raw111", "raw112",  "raw113",
      "raw114", "raw115", "raw116", "raw117", "udp",    "tcp",    "telm-udp"};
  return slot < ServiceCount ? Labels[slot] : "unknown";
}

}  // namespace connchk::server
