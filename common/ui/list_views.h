// The lists of a window as the cores see them: a log view bound at 100 lines that spares the first
// line, and a plain list that only grows. Lines from other threads arrive through the hand-off.
#pragma once

#include <string>

#include <QListWidget>

#include "common/activity_log.h"
#include "common/ui/hand_off.h"

namespace connchk::ui {

// Appends `line` at the end and makes it visible; with `bounded`, drops the second line once the
// list holds more than 100. Runs on the list's own thread.
void appendToList(QListWidget* list, const std::string& line, bool bounded);

class LogListView : public LogView {
 public:
  LogListView(QListWidget* list, HandOff& handOff) : list_(list), handOff_(handOff) {}
  void appendLine(const std::string& line) override;

 private:
  QListWidget* list_;
  HandOff& handOff_;
};

// The log-file alert as a message box over `window`, with `title`; the calling thread waits until
// it is dismissed (or the window closes).
LogAlert messageBoxAlert(QWidget* window, HandOff& handOff, const QString& title);

}  // namespace connchk::ui
