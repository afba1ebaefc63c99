// Connecting a non-blocking stream socket within a time limit, cut short by a stop event.
#pragma once

#include "common/platform/address.h"
#include "common/platform/net.h"  // setNonBlocking
#include "common/platform/wait.h"

namespace connchk::platform {

enum class ConnectEnd { Connected, Failed, Stopped };

// Connects within `ms`; `stop` ends the wait at once. Failed carries the code of the refusal, or
// ETIMEDOUT past `ms`.
ConnectEnd connectWithin(int fd, const Address& address, int ms, const StopEvent& stop, int& error);

}  // namespace connchk::platform
