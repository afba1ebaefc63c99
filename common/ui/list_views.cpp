#include "common/ui/list_views.h"

#include <algorithm>
#include <atomic>

#include <QMessageBox>

namespace connchk::ui {

void appendToList(QListWidget* list, const std::deque<std::string>& lines, bool bounded) {
  if (lines.empty()) return;
  for (const std::string& line : lines) {
    list->addItem(QString::fromStdString(line));
    const int drop = bounded ? lineToDropAfterInsert(list->count()) : -1;
    if (drop >= 0) delete list->takeItem(drop);
  }
  const int last = list->count() - 1;
  list->setCurrentRow(last);
  list->scrollToItem(list->item(last));
}

void appendToList(QListWidget* list, const std::string& line, bool bounded) {
  appendToList(list, std::deque<std::string>{line}, bounded);
}

BatchedList::BatchedList(QListWidget* list, HandOff& handOff, bool bounded)
    : list_(list), handOff_(handOff), bounded_(bounded), waiting_(std::make_shared<Waiting>()) {
  // Every line is one row of text: the list need not measure each one it is given.
  list_->setUniformItemSizes(true);
}

void BatchedList::append(std::string line) {
  int delayMs = -1;
  {
    Waiting& w = *waiting_;
    std::lock_guard<std::mutex> hold(w.mutex);
    if (!w.firstSeen) {
      w.firstSeen = true;
      w.firstWaiting = bounded_;
    }
    w.lines.push_back(std::move(line));
    // The same rule as the list's: the first line ever stays, the oldest after it goes.
    const std::size_t keep = w.firstWaiting ? LogViewCapacity : LogViewCapacity - 1;
    if (bounded_ && w.lines.size() > keep) w.lines.erase(w.lines.begin() + (w.firstWaiting ? 1 : 0));
    if (!w.scheduled) {
      w.scheduled = true;
      const auto since = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - w.lastShown);
      delayMs = std::max(0, BatchPeriodMs - static_cast<int>(std::min<long long>(since.count(), BatchPeriodMs)));
    }
  }
  if (delayMs < 0) return;
  QListWidget* list = list_;
  const bool bounded = bounded_;
  handOff_.post([list, waiting = waiting_, bounded] { show(list, *waiting, bounded); }, delayMs);
}

void BatchedList::show(QListWidget* list, Waiting& waiting, bool bounded) {
  std::deque<std::string> lines;
  {
    std::lock_guard<std::mutex> hold(waiting.mutex);
    lines.swap(waiting.lines);
    waiting.firstWaiting = false;
    waiting.scheduled = false;
    waiting.lastShown = std::chrono::steady_clock::now();
  }
  appendToList(list, lines, bounded);
}

LogAlert messageBoxAlert(QWidget* window, HandOff& handOff, const QString& title) {
  auto open = std::make_shared<std::atomic<bool>>(false);
  return [window, &handOff, title, open](const std::string& message) {
    if (open->exchange(true)) return;
    handOff.post([window, title, message, open] {
      QMessageBox::warning(window, title, QString::fromStdString(message), QMessageBox::Ok);
      *open = false;
    });
  };
}

}  // namespace connchk::ui
