// The client's terminal mode: one run, or one sweep, with the given options; its log lines on
// stdout (on stderr with --json, nowhere with --quiet), then its JSON document with --json.
#pragma once

#include "client/console_options.h"

namespace connchk::client {

// Returns the exit status: 0 when an answer was accepted (a sweep: no type failed and one
// passed), 1 when none was (a sweep: a type failed), 2 when the run could not start.
int runClientConsole(const ClientOptions& options);

}  // namespace connchk::client
