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

namespace connchk::testing {

// Creates the application on first use, always on the offscreen platform.
void ensureApplication();

// Runs the event loop until `done` holds or the limit passes; returns `done()`.
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::milliseconds(10000));

// Watches for application-modal message boxes while it lives, keeps their title and text and
// dismisses each with OK (after `holdFor`, so a test can look at what happens meanwhile).
class MessageBoxWatcher {
 public:
  explicit MessageBoxWatcher(std::function<void()> whileShown = {});
  struct Seen {
    QString title;
    QString text;
  };
  std::vector<Seen> seen;

 private:
  QTimer timer_;
  std::function<void()> whileShown_;
};

std::vector<std::string> listLines(const QListWidget* list);

// Triggers `action`, and reads and closes the About box it opens: its title and version line.
struct AboutSeen {
  QString title;
  QString version;
};
AboutSeen aboutBoxOpenedBy(QAction* action);

// A folder of its own under /tmp, removed at the end.
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace connchk::testing
