#include "server/console.h"

#include <signal.h>

#include <cstdio>

#include "common/console_view.h"
#include "common/platform/signals.h"
#include "common/platform/wait.h"
#include "server/service_host.h"

namespace connchk::server {
namespace {

class ConsoleStatisticsView : public StatisticsView {
 public:
  explicit ConsoleStatisticsView(LogView& out) : out_(out) {}
  void appendStatisticsLine(const std::string& line) override { out_.appendLine(StatisticsMark + line); }

 private:
  LogView& out_;
};

}  // namespace

int runServerConsole() {
  ActivityLog log(LogStyle::Server, ServerLogFileName);
  ConsoleView view;
  ConsoleStatisticsView statisticsView(view);
  SenderStatistics statistics;
  ServerCounters counters;
  log.setView(&view);
  log.setAlert([](const std::string& message) { alertOnStderr("server", message); });
  statistics.setView(&statisticsView);
  ServerContext server{log, statistics, counters};

  // Ctrl-C or a termination request ends the program as the window's exit does; a hang-up lets go
  // of the log file, so that a rotated file is followed by a new one.
  platform::StopEvent endRequested;
  platform::SignalWatcher signals([&log, &endRequested](int signal, int) {
    if (signal == SIGHUP) {
      log.reopen();
    } else {
      endRequested.signal();
    }
  });

  ServiceHost host(server);
  host.start();
  if (!host.waitUntilStarted()) {
    host.stop();
    log.log(messages::NoServiceStarted);
    alertOnStderr("server", messages::NoServiceStarted);
    return 1;
  }
  endRequested.wait();
  host.stop();
  std::fflush(stdout);
  return 0;
}

}  // namespace connchk::server
