#include "server/console.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "common/console_view.h"
#include "common/platform/signals.h"
#include "common/platform/wait.h"
#include "server/metrics.h"
#include "server/service_host.h"

namespace connchk::server {
namespace {

// How long the services have to end once asked.
constexpr std::chrono::milliseconds StopLimit(2000);

class ConsoleStatisticsView : public StatisticsView {
 public:
  explicit ConsoleStatisticsView(LogView& out) : out_(out) {}
  void appendStatisticsLine(const std::string& line) override { out_.appendLine(StatisticsMark + line); }

 private:
  LogView& out_;
};

}  // namespace

int runServerConsole(const ServerSettings& settings, MetricsEndpoint* metrics) {
  // The view outlives the log, whose writer may still show a line while it ends.
  ConsoleView view;
  ConsoleStatisticsView statisticsView(view);
  ActivityLog log(LogStyle::Server, ServerLogFileName);
  SenderStatistics statistics;
  ServerCounters counters;
  log.setView(&view);
  log.setAlert([](const std::string& message) { alertOnStderr("server", message); });
  statistics.setView(&statisticsView);
  ServerContext server{log, statistics, counters, settings};
  const MetricsWatch watch(metrics, {counters, statistics, log});

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
    log.closeForExit();
    return 1;
  }
  endRequested.wait();
  if (!host.stop(StopLimit)) {
    // A service is stuck on a line for an output that nobody reads: the lines already written
    // are complete in the file, and the program ends without waiting on that output any longer.
    log.closeForExit();
    _exit(0);
  }
  log.closeForExit();
  std::fflush(stdout);
  return 0;
}

}  // namespace connchk::server
