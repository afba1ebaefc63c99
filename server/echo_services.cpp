// The UDP and TCP echo services on port 87 are not built yet.
#include "server/services.h"

namespace connchk::server {

int EchoUdpService(ServerContext&) { return -1; }

int EchoTcpService(ServerContext&) { return -1; }

}  // namespace connchk::server
