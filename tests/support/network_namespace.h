// A network namespace of the calling process's own, for tests and benchmarks: whatever binds or
// sends there meets nothing else on the machine.
#pragma once

#include <string>

namespace connchk::testing {

// Unshares the network namespace of the calling thread (call it before any thread starts, so that
// every later thread and child process shares it) and brings its loopback up. Needs root.
bool enterPrivateNetwork(std::string& why);

}  // namespace connchk::testing
