#include "tests/gui/gui_support.h"

#include "common/ui/about_dialog.h"

#include <stdlib.h>

#include <filesystem>

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QTest>

// Under LeakSanitizer: fontconfig, which Qt's font database uses, keeps caches it never frees.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace connchk::testing {

void ensureApplication() {
  if (QApplication::instance()) return;
  qputenv("QT_QPA_PLATFORM", "offscreen");
  static int argc = 1;
  static char name[] = "gui_tests";
  static char* argv[] = {name, nullptr};
  new QApplication(argc, argv);  // kept for the life of the process
}

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  return QTest::qWaitFor(done, static_cast<int>(limit.count()));
}

MessageBoxWatcher::MessageBoxWatcher() {
  timer_.setInterval(20);
  QObject::connect(&timer_, &QTimer::timeout, [this] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || !box->isVisible()) return;
    seen.push_back({box->windowTitle(), box->text()});
    box->done(QMessageBox::Ok);
  });
  timer_.start();
}

std::vector<std::string> listLines(const QListWidget* list) {
  std::vector<std::string> lines;
  for (int i = 0; i < list->count(); ++i) lines.push_back(list->item(i)->text().toStdString());
  return lines;
}

AboutSeen aboutBoxOpenedBy(QAction* action) {
  AboutSeen seen;
  QTimer::singleShot(100, [&seen] {
    auto* about = dynamic_cast<connchk::ui::AboutDialog*>(QApplication::activeModalWidget());
    if (!about) return;
    seen.title = about->windowTitle();
    seen.version = about->versionLabel()->text();
    about->accept();
  });
  action->trigger();
  return seen;
}

}  // namespace connchk::testing
