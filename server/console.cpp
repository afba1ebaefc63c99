#include "server/console.h"

#include <unistd.h>

#include <cstdio>

#include "common/console_view.h"
#include "common/platform/signals.h"
#include "server/metrics.h"
#include "server/services.h"

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

int runServerConsole(MetricsEndpoint* metrics) {
  static ActivityLog log(LogStyle::Server, ServerLogFileName);
  // The services never return; the program ends here, on a signal, as the window's exit ends it.
  platform::SignalWatcher signals([](int, int) {
    log.closeForExit();
    std::fflush(stdout);
    _exit(0);
  });
  static ConsoleView view;
  static ConsoleStatisticsView statisticsView(view);
  static SenderStatistics statistics;
  log.setView(&view);
  log.setAlert([](const std::string& message) { alertOnStderr("server", message); });
  statistics.setView(&statisticsView);
  static ServerContext context{log, statistics};
  static ServerCounters counters;
  if (metrics) metrics->watch({counters, statistics, log});
  startServices(context);
  for (;;) pause();
}

}  // namespace connchk::server
