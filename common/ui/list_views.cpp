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
  int delayMs;
  {
    Waiting& w = *waiting_;
    std::lock_guard<std::mutex> hold(w.mutex);
    keep(w, line);
    delayMs = schedule(w);
  }
  post(delayMs);
}

void BatchedList::append(const LogLines& lines) {
  if (lines.empty()) return;
  int delayMs;
  {
    Waiting& w = *waiting_;
    std::lock_guard<std::mutex> hold(w.mutex);
    for (std::size_t i = 0; i < lines.size(); ++i) keep(w, lines.utf8(i));
    delayMs = schedule(w);
  }
  post(delayMs);
}

void BatchedList::keep(Waiting& w, std::string_view line) {
  if (!w.firstSeen) {
    w.firstSeen = true;
    w.firstWaiting = bounded_;
  }
  // The same rule as the list's: the first line ever stays, the oldest after it goes.
  const std::size_t most = w.firstWaiting ? LogViewCapacity : LogViewCapacity - 1;
  if (!bounded_ || w.lines.size() < most) {
    w.lines.emplace_back(line);
    return;
  }
  const auto oldest = w.lines.begin() + (w.firstWaiting ? 1 : 0);
  std::string room = std::move(*oldest);
  w.lines.erase(oldest);
  room.assign(line);
  w.lines.push_back(std::move(room));
}

int BatchedList::schedule(Waiting& w) {
  if (w.scheduled) return -1;
  w.scheduled = true;
  const auto since = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - w.lastShown);
  return std::max(0, BatchIntervalMs - static_cast<int>(std::min<long long>(since.count(), BatchIntervalMs)));
}

void BatchedList::post(int delayMs) {
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
