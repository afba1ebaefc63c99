// The raw IP and ICMP responders are not built yet.
#include "server/services.h"

namespace connchk::server {

int RawIpService(ServerContext&, std::uint32_t) { return -1; }

}  // namespace connchk::server
