// The five test procedures. Each runs one whole test on the worker thread and returns its exit
// code; the run control closes nothing for them (their sockets close as they return) and gives
// the buttons back afterwards.
#pragma once

#include "client/test_skeleton.h"

namespace connchk::client {

int EchoUdpTest(RunContext& run);
int EchoTcpTest(RunContext& run);
int TerminalUdpTest(RunContext& run);
int RawIpTest(RunContext& run);
int IcmpEchoTest(RunContext& run);

// Whether this build has the procedure for a kind of test yet.
bool testAvailable(TestKind kind);

}  // namespace connchk::client
