#include "server/service_counters.h"

namespace connchk::server {

const char* serviceLabel(std::size_t slot) {
  return slot < ServiceCount ? protocolTypeOfService(slot).shortName : "unknown";
}

}  // namespace connchk::server
