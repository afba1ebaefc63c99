// The server program: the window where a display is available, the terminal mode otherwise.
#include <cstdio>
#include <cstring>
#include <string>

#include "common/platform/signals.h"
#include "server/console.h"
#ifdef CHECKER_WITH_GUI
#include "common/ui/display.h"
#include "server/ui/server_app.h"
#endif

namespace {
constexpr const char* Usage =
    "Usage: server [--console]\n"
    "       server --help | --version\n"
    "\n"
    "Answers the connection checker's test requests: UDP and TCP echo on port 87, the terminal\n"
    "exchange on UDP port 855, raw IP protocols 53, 55, 56, 110-117 and ICMP. Every log line is\n"
    "printed and appended to server_log.txt beside the executable; each new sender is printed as\n"
    "a line that starts with \"Статистика: \". Ctrl-C or SIGTERM ends the program; SIGHUP\n"
    "reopens the log file (for log rotation). In the terminal it exits 1 when no service could\n"
    "start.\n"
    "Without --console it opens its window; with no display (DISPLAY and WAYLAND_DISPLAY unset)\n"
    "it says so and runs in the terminal.\n"
    "\n"
    "Ports below 1024 and raw sockets need root, or the capabilities cap_net_bind_service and\n"
    "cap_net_raw (see README).\n";
}

int main(int argc, char** argv) {
  connchk::platform::keepStandardDescriptorsOpen();
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(Usage, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::puts("server Version 1.0");
      return 0;
    }
    if (std::strcmp(argv[i], "--console") != 0) {
      std::fprintf(stderr, "server: unknown option %s (see --help)\n", argv[i]);
      return 2;
    }
  }
#ifdef CHECKER_WITH_GUI
  if (argc == 1) {  // the only option left to see here is --console
    const std::string problem = connchk::ui::displayProblem();
    if (problem.empty()) return connchk::server::ui::runServerWindow(argc, argv);
    std::fprintf(stderr, "server: %s\n", problem.c_str());
  }
#endif
  return connchk::server::runServerConsole();
}
