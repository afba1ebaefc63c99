// What the window tests share: one QApplication on the offscreen platform, waiting while the
// event loop runs, the message boxes a handler opens, and the lines of a list.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <QAction>
#include <QListWidget>
#include <QObject>
#include <QString>
#include <QTimer>

#include "tests/support/program.h"

namespace connchk::testing {

// Creates the application on first use, always on the offscreen platform.
void ensureApplication();

// Runs the event loop until `done` holds or the limit passes; returns `done()`.
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::milliseconds(10000));

// Watches for application-modal message boxes while it lives, keeps their title and text and
// dismisses each with OK.
class MessageBoxWatcher {
 public:
  MessageBoxWatcher();
  struct Seen {
    QString title;
    QString text;
  };
  std::vector<Seen> seen;

 private:
  QTimer timer_;
};

std::vector<std::string> listLines(const QListWidget* list);

// Triggers `action`, and reads and closes the About box it opens: its title and version line.
struct AboutSeen {
  QString title;
  QString version;
};
AboutSeen aboutBoxOpenedBy(QAction* action);

}  // namespace connchk::testing
