// The lists of a window as the cores see them: a log view bound at 100 lines that spares the first
// line, and a plain list that only grows. Lines come from any thread, wait in a bounded queue and
// are shown in batches on the window's thread; nobody who adds a line waits for the window.
#pragma once

#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <QListWidget>

#include "common/activity_log.h"
#include "common/ui/batch_queue.h"
#include "common/ui/hand_off.h"

namespace connchk::ui {

// Appends `lines` at the end and makes the last one current and visible; with `bounded`, drops
// the second line each time the list would hold more than 100. Runs on the list's own thread.
void appendToList(QListWidget* list, const std::deque<std::string>& lines, bool bounded);

// Lines for one list, shown at most about 30 times a second. With `bounded`, what waits keeps
// only what the list will keep (the first line ever and the 99 newest), so a window that lags
// behind costs at most 100 waiting lines.
class BatchedList {
 public:
  BatchedList(QListWidget* list, HandOff& handOff, bool bounded);
  // Any thread; never waits for the window.
  void append(std::string line);
  // Several lines in order, under one lock: a busy log's batch.
  void append(const LogLines& lines);

 private:
  struct Waiting {
    std::mutex mutex;
    std::deque<std::string> lines;
    bool firstSeen = false;     // the first line ever has come
    bool firstWaiting = false;  // it is lines.front() and not shown yet
    bool scheduled = false;     // a batch is posted to the window thread
    std::chrono::steady_clock::time_point lastShown{};
  };
  static void show(QListWidget* list, Waiting& waiting, bool bounded);
  // Under the lock: `line` joins what waits; with a bound, the oldest after the first gives way
  // and lends its room to the new line, so a flood allocates nothing per line.
  void keep(Waiting& w, std::string_view line);
  // Under the lock: a batch is posted unless one is; the delay for it, or -1.
  int schedule(Waiting& w);
  void post(int delayMs);

  QListWidget* list_;
  HandOff& handOff_;
  bool bounded_;
  std::shared_ptr<Waiting> waiting_;
};

class LogListView : public LogView {
 public:
  LogListView(QListWidget* list, HandOff& handOff) : lines_(list, handOff, true) {}
  void appendLine(const std::string& line) override { lines_.append(line); }
  void appendLines(const LogLines& lines) override { lines_.append(lines); }

 private:
  BatchedList lines_;
};

// The log-file alert as a message box over `window`, with `title`. The box is posted to the
// window thread; the thread that raised it goes on at once. While one box is open, another alert
// opens none.
LogAlert messageBoxAlert(QWidget* window, HandOff& handOff, const QString& title);

}  // namespace connchk::ui
