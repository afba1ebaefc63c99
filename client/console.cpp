#include "client/console.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include "client/run_control.h"
#include "common/console_view.h"
#include "common/platform/signals.h"

namespace connchk::client {

int runClientConsole(const ClientOptions& options) {
  ConsoleView view;  // outlives the log, which may show a line until its last write
  ActivityLog log(LogStyle::Client, ClientLogFileName);
  log.setView(&view);
  log.setAlert([](const std::string& message) { alertOnStderr("client", message); });

  RunControl control(log, ButtonHooks{});
  // The first Ctrl-C is Stop; a second one, or a termination request, ends the program at once.
  platform::SignalWatcher signals([&control, &log](int signal, int count) {
    if (signal == SIGINT && count == 1) {
      control.stopRun();
      return;
    }
    log.closeForExit();
    std::fflush(stdout);
    _exit(130);
  });

  const StartRefusal refusal = control.startRun(options.request);
  if (refusal != StartRefusal::None) {
    std::fprintf(stderr, "client: %s\n", startRefusalText(refusal));
    return 2;
  }
  const RunOutcome outcome = control.waitForEnd();
  if (outcome.startFailed) return 2;
  return outcome.answersAccepted > 0 ? 0 : 1;
}

}  // namespace connchk::client
