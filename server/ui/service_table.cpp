#include "server/ui/service_table.h"

#include "common/ui/read_only_table.h"

#include <QHeaderView>

#include "server/messages.h"
#include "server/services.h"

namespace connchk::server::ui {

QString serviceName(std::size_t slot) { return QString::fromStdString(messages::serviceTitle(slot)); }

namespace {
QString stateText(const ServiceCounters& service) {
  switch (service.state.load()) {
    case ServiceState::Starting: return QStringLiteral("запуск");
    case ServiceState::Running: return QStringLiteral("работает");
    case ServiceState::Stopped: return QStringLiteral("остановлена");
    case ServiceState::Failed: {
      const std::string failure = service.failure();
      return failure.empty() ? QStringLiteral("ошибка") : QString::fromStdString(failure);
    }
  }
  return {};
}
}  // namespace

ServiceTable::ServiceTable(const ServerCounters& counters, QWidget* parent) : QTableWidget(parent), counters_(counters) {
  setColumnCount(ColumnCount);
  setRowCount(static_cast<int>(ServiceCount));
  setHorizontalHeaderLabels({QStringLiteral("Служба"), QStringLiteral("Состояние"), QStringLiteral("Ответов"),
                             QStringLiteral("Ошибочных"), QStringLiteral("Ошибок"), QStringLiteral("В секунду")});
  connchk::ui::makeReadOnlyTable(this);
  horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
  horizontalHeader()->setSectionResizeMode(Service, QHeaderView::ResizeToContents);
  for (std::size_t slot = 0; slot < ServiceCount; ++slot) setCell(static_cast<int>(slot), Service, serviceName(slot));
  sample(Clock::now());
}

void ServiceTable::sample(Clock::time_point now) {
  Snapshot snapshot{now, {}};
  for (std::size_t slot = 0; slot < ServiceCount; ++slot) {
    snapshot.answered[slot] = counters_.services[slot].answered.load();
  }
  history_.push_back(snapshot);
  // Keeps the newest snapshot that is at least a span old, as the base of the rate.
  while (history_.size() > 2 && history_[1].at <= now - RateSpan) history_.pop_front();
  const Snapshot& base = history_.front();
  const double seconds = std::chrono::duration<double>(now - base.at).count();

  for (std::size_t slot = 0; slot < ServiceCount; ++slot) {
    const ServiceCounters& service = counters_.services[slot];
    const int row = static_cast<int>(slot);
    setCell(row, State, stateText(service));
    item(row, State)->setForeground(service.state.load() == ServiceState::Failed ? QColor(0xc6, 0x20, 0x20)
                                                                                : palette().text().color());
    setCell(row, Answered, QString::number(snapshot.answered[slot]));
    setCell(row, Erroneous, QString::number(service.erroneous.load()));
    setCell(row, Errors, QString::number(service.receiveErrors.load() + service.sendErrors.load()));
    const double rate = seconds > 0 ? static_cast<double>(snapshot.answered[slot] - base.answered[slot]) / seconds : 0.0;
    setCell(row, Rate, QString::number(rate, 'f', 1));
  }
}

QString ServiceTable::cell(int row, Column column) const {
  const QTableWidgetItem* found = item(row, column);
  return found ? found->text() : QString();
}

void ServiceTable::setCell(int row, Column column, const QString& text) {
  QTableWidgetItem* existing = item(row, column);
  if (!existing) {
    existing = new QTableWidgetItem;
    existing->setTextAlignment(column <= State ? Qt::AlignLeft | Qt::AlignVCenter : Qt::AlignRight | Qt::AlignVCenter);
    setItem(row, column, existing);
  }
  // Unchanged cells are left alone, so a quiet table does not redraw.
  if (existing->text() != text) existing->setText(text);
}

}  // namespace connchk::server::ui
