// Connecting a non-blocking stream socket within a time limit, cut short by a stop event.
#pragma once

#include "common/platform/address.h"
#include "common/platform/net.h"  // setNonBlocking
#include "common/platform/wait.h"

namespace connchk::platform {

enum class ConnectEnd { Connected, Failed, Stopped };

// How a connect ended; when Failed, `error` holds the refusal's code, or ETIMEDOUT past the limit.
struct Connecting {
  ConnectEnd end = ConnectEnd::Failed;
  Error error;
};

// Connects within `ms`; `stop` ends the wait at once.
Connecting connectWithin(int fd, const Address& address, int ms, const StopEvent& stop);

}  // namespace connchk::platform
