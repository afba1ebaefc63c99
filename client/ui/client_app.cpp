#include "client/ui/client_app.h"

#include <unistd.h>

#include <cstdio>

#include <QApplication>

#include "client/ui/client_dialog.h"
#include "common/activity_log.h"
#include "common/platform/signals.h"
#include "common/ui/program_icon.h"

namespace connchk::client::ui {

int runClientWindow(int argc, char** argv) {
  static ActivityLog log(LogStyle::Client, ClientLogFileName);
  // Ctrl-C or a termination request ends the program at once, as "Выход" does, every line in the file.
  platform::SignalWatcher endOnSignal([](int, int) {
    log.closeForExit();
    _exit(130);
  });
  QApplication app(argc, argv);
  // The program's settings key; nothing is stored under it.
  QApplication::setOrganizationName(QStringLiteral("Local AppWizard-Generated Applications"));
  QApplication::setApplicationName(QStringLiteral("client"));
  QApplication::setWindowIcon(connchk::ui::programIcon(connchk::ui::clientIconColor()));

  auto* dialog = new ClientDialog(log);
  dialog->exec();
  if (dialog->runGoing()) {
    // A worker may be in the middle of a round: the program ends without waiting for it, once a
    // line being written has reached the file.
    log.closeForExit();
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(0);
  }
  delete dialog;
  return 0;
}

}  // namespace connchk::client::ui
