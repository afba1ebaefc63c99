#include "server/ui/server_app.h"

#include <unistd.h>

#include <cstdio>

#include <QApplication>

#include "common/activity_log.h"
#include "common/ui/program_icon.h"
#include "server/sender_statistics.h"
#include "server/ui/server_dialog.h"

namespace connchk::server::ui {

int runServerWindow(int argc, char** argv) {
  QApplication app(argc, argv);
  // The program's settings key; nothing is stored under it.
  QApplication::setOrganizationName(QStringLiteral("Local AppWizard-Generated Applications"));
  QApplication::setApplicationName(QStringLiteral("server"));
  QApplication::setWindowIcon(connchk::ui::programIcon(connchk::ui::serverIconColor()));

  // The services use these until the process ends; they are never destroyed.
  static ActivityLog log(LogStyle::Server, ServerLogFileName);
  static SenderStatistics statistics;
  static ServerCounters counters;
  auto* dialog = new ServerDialog(log, statistics, counters);
  dialog->exec();
  // The services never stop: the program ends here, once a line being written is complete.
  log.closeForExit();
  std::fflush(stdout);
  std::fflush(stderr);
  _exit(0);
}

}  // namespace connchk::server::ui
