// The server program: the window where a display is available, the terminal mode otherwise.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "common/platform/signals.h"
#include "common/activity_log.h"
#include "common/log_directory.h"
#include "server/console.h"
#include "server/metrics.h"
#ifdef CHECKER_WITH_GUI
#include "common/ui/display.h"
#include "server/ui/server_app.h"
#endif

namespace {
constexpr const char* Usage =
    "Usage: server [--console] [--log-dir DIR] [--metrics [ADDRESS:]PORT]\n"
    "       server --help | --version\n"
    "\n"
    "Answers the connection checker's test requests: UDP and TCP echo on port 87, the terminal\n"
    "exchange on UDP port 855, raw IP protocols 53, 55, 56, 110-117 and ICMP, over IPv4 and IPv6\n"
    "(ICMPv6). Every log line is printed and appended to server_log.txt beside the executable,\n"
    "or in DIR with --log-dir DIR (an existing folder the server may write); each new sender is\n"
    "printed as a line that starts with \"Статистика: \". Ctrl-C or SIGTERM ends the program;\n"
    "SIGHUP reopens the log file (for log rotation). In the terminal it exits 1 when no service\n"
    "could start.\n"
    "Without --console it opens its window; with no display (DISPLAY and WAYLAND_DISPLAY unset)\n"
    "it says so and runs in the terminal.\n"
    "\n"
    "--metrics serves the services' counters at http://ADDRESS:PORT/metrics for Prometheus\n"
    "(ADDRESS a dotted IPv4 address; every address of the host without it).\n"
    "\n"
    "Ports below 1024 and raw sockets need root, or the capabilities cap_net_bind_service and\n"
    "cap_net_raw (see README).\n";
}

int main(int argc, char** argv) {
  connchk::platform::keepStandardDescriptorsOpen();
  bool console = false;
  std::string logDir;
  const char* metricsAt = nullptr;  // --metrics [ADDRESS:]PORT
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--log-dir", 9) == 0 && (argv[i][9] == '\0' || argv[i][9] == '=')) {
      logDir = argv[i][9] == '=' ? argv[i] + 10 : i + 1 < argc ? argv[++i] : "";
      if (logDir.empty()) {
        std::fputs("server: --log-dir needs a folder\n", stderr);
        return 2;
      }
      continue;
    }
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(Usage, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::puts("server Version 1.0");
      return 0;
    }
    if (std::strcmp(argv[i], "--console") == 0) {
      console = true;
    } else if (std::strcmp(argv[i], "--metrics") == 0) {
      if (i + 1 == argc) {
        std::fputs("server: --metrics needs [ADDRESS:]PORT\n", stderr);
        return 2;
      }
      metricsAt = argv[++i];
    } else if (std::strncmp(argv[i], "--metrics=", 10) == 0) {
      metricsAt = argv[i] + 10;
    } else {
      std::fprintf(stderr, "server: unknown option %s (see --help)\n", argv[i]);
      return 2;
    }
  }
  if (!connchk::chooseLogDirectory("server", logDir, connchk::ServerLogFileName)) return 2;
  // The metrics endpoint listens before any service starts, so that a bad or taken port ends
  // the program at once.
  std::unique_ptr<connchk::server::MetricsEndpoint> metrics;
  if (metricsAt) {
    std::string error;
    metrics = connchk::server::MetricsEndpoint::open(metricsAt, error);
    if (!metrics) {
      std::fprintf(stderr, "server: --metrics %s: %s\n", metricsAt, error.c_str());
      return 2;
    }
  }
#ifdef CHECKER_WITH_GUI
  if (!console) {
    const std::string problem = connchk::ui::displayProblem();
    if (problem.empty()) return connchk::server::ui::runServerWindow(argc, argv, metrics.get());
    std::fprintf(stderr, "server: %s\n", problem.c_str());
  }
#endif
  return connchk::server::runServerConsole(metrics.get());
}
