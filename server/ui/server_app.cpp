#include "server/ui/server_app.h"

#include <signal.h>

#include <mutex>

#include <QApplication>

#include "common/activity_log.h"
#include "common/platform/signals.h"
#include "common/ui/program_icon.h"
#include "server/metrics.h"
#include "server/sender_statistics.h"
#include "server/service_host.h"
#include "server/ui/server_dialog.h"

namespace connchk::server::ui {

int runServerWindow(int argc, char** argv, const ServerSettings& settings, MetricsEndpoint* metrics) {
  // What the services report to lives here, outside the window, until they are joined.
  ActivityLog log(LogStyle::Server, ServerLogFileName);
  SenderStatistics statistics;
  ServerCounters counters;
  ServerContext server{log, statistics, counters, settings};
  const MetricsWatch watch(metrics, {counters, statistics, log});

  // A termination request closes the window as "Выход" does; a hang-up lets go of the log file.
  // The watcher comes first, before any thread, so that no thread takes these signals itself.
  std::mutex windowMutex;
  QDialog* window = nullptr;
  bool endRequested = false;
  platform::SignalWatcher watcher([&](int signal, int) {
    if (signal == SIGHUP) {
      log.reopen();
      return;
    }
    std::lock_guard<std::mutex> hold(windowMutex);
    endRequested = true;
    if (window) QMetaObject::invokeMethod(window, &QDialog::reject, Qt::QueuedConnection);
  });

  QApplication app(argc, argv);
  // The program's settings key; nothing is stored under it.
  QApplication::setOrganizationName(QStringLiteral("Local AppWizard-Generated Applications"));
  QApplication::setApplicationName(QStringLiteral("server"));
  QApplication::setWindowIcon(connchk::ui::programIcon(connchk::ui::serverIconColor()));

  ServiceHost host(server);
  {
    ServerDialog dialog(server, [&host](ServerContext&) { host.start(); });
    bool run = false;
    {
      std::lock_guard<std::mutex> hold(windowMutex);
      window = &dialog;
      run = !endRequested;
    }
    if (run) dialog.exec();
    {
      std::lock_guard<std::mutex> hold(windowMutex);
      window = nullptr;
    }
    // The window no longer takes lines (its hand-off is closed), so no service waits on it.
    host.stop();
  }
  return 0;
}

}  // namespace connchk::server::ui
