#include "client/exporter.h"

#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "client/exporter_http.h"
#include "common/activity_log.h"
#include "common/console_view.h"
#include "common/platform/signals.h"

namespace connchk::client {

int runProbeExporter(const std::string& listenText, const ProbeWays& ways) {
  ActivityLog log(LogStyle::Client, ClientLogFileName);
  ConsoleView view;
  log.setView(&view);
  log.setAlert([](const std::string& message) { alertOnStderr("client", message); });

  std::mutex mutex;
  std::condition_variable signalled;
  bool ending = false;
  // The first Ctrl-C or termination request ends the exporter once the probes in progress have
  // stopped; a second one ends the program at once.
  platform::SignalWatcher signals([&](int, int count) {
    if (count > 1) {
      log.closeForExit();
      std::fflush(stdout);
      _exit(130);
    }
    std::lock_guard<std::mutex> hold(mutex);
    ending = true;
    signalled.notify_all();
  });

  ProbeExporter exporter(log, ways);
  if (const auto listening = exporter.listen(listenText); !listening) {
    std::fprintf(stderr, "client: --exporter %s: %s\n", listenText.c_str(), listening.error().text.c_str());
    return 2;
  }
  std::fprintf(stderr, "client: probe exporter on port %d: /probe?target=HOST&protocol=TYPE, /metrics\n",
               exporter.port());
  {
    std::unique_lock<std::mutex> hold(mutex);
    signalled.wait(hold, [&] { return ending; });
  }
  // Every probe answered and every line in the log, the program ends without closing civetweb,
  // whose accept loop may take two seconds to see its stop: nothing of it needs closing.
  exporter.stopProbes();
  log.closeForExit();
  std::fflush(stdout);
  std::fflush(stderr);
  _exit(0);
}

}  // namespace connchk::client
