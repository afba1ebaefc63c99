// The client's terminal mode: one run with the given options, its log lines on stdout.
#pragma once

#include "client/console_options.h"

namespace connchk::client {

// Returns the exit status: 0 when an answer was accepted, 1 when none was, 2 when the run could
// not start.
int runClientConsole(const ClientOptions& options);

}  // namespace connchk::client
