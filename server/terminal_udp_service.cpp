// The terminal exchange service on port 855 is not built yet.
#include "server/services.h"

namespace connchk::server {

int TerminalUdpService(ServerContext&) { return -1; }

}  // namespace connchk::server
