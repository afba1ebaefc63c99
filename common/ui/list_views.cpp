#include "common/ui/list_views.h"

#include <QMessageBox>

namespace connchk::ui {

void appendToList(QListWidget* list, const std::string& line, bool bounded) {
  const int n = list->count();
  list->insertItem(n, QString::fromStdString(line));
  list->setCurrentRow(n);
  list->scrollToItem(list->item(n));
  if (!bounded) return;
  const int drop = lineToDropAfterInsert(n + 1);
  if (drop >= 0) delete list->takeItem(drop);
}

void LogListView::appendLine(const std::string& line) {
  QListWidget* list = list_;
  handOff_.run([list, line] { appendToList(list, line, true); });
}

LogAlert messageBoxAlert(QWidget* window, HandOff& handOff, const QString& title) {
  return [window, &handOff, title](const std::string& message) {
    handOff.run([window, title, message] {
      QMessageBox::warning(window, title, QString::fromStdString(message), QMessageBox::Ok);
    });
  };
}

}  // namespace connchk::ui
