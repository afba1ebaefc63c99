// The server program: the window where a display is available, the terminal mode otherwise.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "common/platform/signals.h"
#include "common/activity_log.h"
#include "common/log_directory.h"
#include "server/console.h"
#include "server/metrics.h"
#include "server/server_options.h"
#ifdef CHECKER_WITH_GUI
#include "common/ui/display.h"
#include "server/ui/server_app.h"
#endif

int main(int argc, char** argv) {
  connchk::platform::keepStandardDescriptorsOpen();
  const auto parsed = connchk::server::parseServerOptions(std::vector<std::string>(argv + 1, argv + argc));
  if (!parsed.options) {
    std::fprintf(stderr, "server: %s\n", parsed.error.c_str());
    return 2;
  }
  const connchk::server::ServerOptions& options = *parsed.options;
  if (options.help) {
    std::fputs(connchk::server::serverUsage().c_str(), stdout);
    return 0;
  }
  if (options.version) {
    std::puts("server Version 1.0");
    return 0;
  }
  std::string logDir = options.logDirectory;
  const char* metricsAt = options.metricsAt ? options.metricsAt->c_str() : nullptr;
  const bool console = options.console;
  if (!connchk::chooseLogDirectory("server", logDir, connchk::ServerLogFileName)) return 2;
  // The metrics endpoint listens before any service starts, so that a bad or taken port ends
  // the program at once.
  std::unique_ptr<connchk::server::MetricsEndpoint> metrics;
  if (metricsAt) {
    auto opened = connchk::server::MetricsEndpoint::open(metricsAt);
    if (!opened) {
      std::fprintf(stderr, "server: --metrics %s: %s\n", metricsAt, opened.error().text.c_str());
      return 2;
    }
    metrics = std::move(opened).value();
  }
#ifdef CHECKER_WITH_GUI
  if (!console) {
    const std::string problem = connchk::ui::displayProblem();
    if (problem.empty()) return connchk::server::ui::runServerWindow(argc, argv, options.settings, metrics.get());
    std::fprintf(stderr, "server: %s\n", problem.c_str());
  }
#endif
  return connchk::server::runServerConsole(options.settings, metrics.get());
}
