#include "common/ui/list_views.h"

#include <algorithm>
#include <atomic>

#include <QMessageBox>

namespace connchk::ui {

void appendToList(QListWidget* list, const std::deque<std::string>& lines, bool bounded) {
  if (lines.empty()) return;
  // What a bounded list keeps is its first row ever and the newest rows after it: rows and lines
  // that would be dropped at once are taken out or passed over in one go, not one by one.
  std::size_t skip = 0;  // of the new lines, after the first when the list is empty
  const int count = list->count();
  const int surplus = bounded ? count + static_cast<int>(lines.size()) - LogViewCapacity : 0;
  if (surplus > 0) {
    const int fromRows = std::min(surplus, std::max(count - 1, 0));
    if (fromRows > 0) list->model()->removeRows(1, fromRows);
    skip = static_cast<std::size_t>(surplus - fromRows);
  }
  std::size_t i = 0;
  if (count == 0) list->addItem(QString::fromStdString(lines[i++]));
  for (i += skip; i < lines.size(); ++i) list->addItem(QString::fromStdString(lines[i]));
  const int last = list->count() - 1;
  list->setCurrentRow(last);
  list->scrollToItem(list->item(last));
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
      delayMs = std::max(0, BatchIntervalMs - static_cast<int>(std::min<long long>(since.count(), BatchIntervalMs)));
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
