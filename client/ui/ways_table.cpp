#include "client/ui/ways_table.h"

#include <QHeaderView>

#include "client/protocol_catalogue.h"
#include "client/sweep_ways.h"
#include "common/ui/read_only_table.h"

namespace connchk::client::ui {

namespace {
const QString Checking = QStringLiteral("проверка...");

QColor verdictColour(Verdict verdict) {
  switch (verdict) {
    case Verdict::Pass: return {0x1a, 0x7f, 0x37};
    case Verdict::Loss: return {0xc7, 0x7c, 0x00};
    case Verdict::Fail: return {0xc6, 0x20, 0x20};
    case Verdict::NotRun: break;
  }
  return {0x80, 0x80, 0x80};
}
}  // namespace

WaysTable::WaysTable(QWidget* parent) : QTableWidget(parent) {
  connchk::ui::makeReadOnlyTable(this);
  resetWays({});
}

void WaysTable::resetWays(const QStringList& labels) {
  const auto catalogue = ProtocolCatalogue();
  byWay_.assign(static_cast<std::size_t>(labels.size()), {});
  clear();
  setColumnCount(comparisonColumn() + 1);
  QStringList headers{QStringLiteral("Тип протокола"), QStringLiteral("Номер")};
  headers += labels;
  headers.push_back(QStringLiteral("Сравнение"));
  setHorizontalHeaderLabels(headers);
  horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
  horizontalHeader()->setSectionResizeMode(Type, QHeaderView::Stretch);
  for (int way = 0; way < wayCount(); ++way) horizontalHeaderItem(FirstWay + way)->setToolTip(labels[way]);
  setRowCount(static_cast<int>(catalogue.size()));
  for (int row = 0; row < rowCount(); ++row) {
    const ProtocolType& type = catalogue[static_cast<std::size_t>(row)];
    setCell(row, Type, QString::fromUtf8(type.text));
    setCell(row, Number, QString::number(type.number));
    item(row, Number)->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    for (int column = FirstWay; column < columnCount(); ++column) setCell(row, column, QString());
  }
}

void WaysTable::showChecking(std::size_t way, int typeIndex) {
  if (way >= byWay_.size() || typeIndex < 0 || typeIndex >= rowCount()) return;
  setCell(typeIndex, FirstWay + static_cast<int>(way), Checking);
  scrollToItem(item(typeIndex, Type));
}

void WaysTable::showRow(std::size_t way, const SweepRow& row) {
  const int typeIndex = row.typeIndex;
  if (way >= byWay_.size() || typeIndex < 0 || typeIndex >= rowCount()) return;
  byWay_[way][typeIndex] = row;
  const int column = FirstWay + static_cast<int>(way);
  setCell(typeIndex, column, QString::fromStdString(comparedCellText(row)));
  item(typeIndex, column)->setForeground(verdictColour(row.verdict));
  if (row.verdict == Verdict::NotRun) item(typeIndex, column)->setToolTip(QString::fromStdString(row.reason));
  const bool marked = differs(typeIndex);
  setCell(typeIndex, comparisonColumn(), marked ? QString::fromUtf8(DiffersText) : QString());
  if (marked) {
    QFont bold = font();
    bold.setBold(true);
    item(typeIndex, comparisonColumn())->setFont(bold);
    item(typeIndex, comparisonColumn())->setForeground(QColor(0x9a, 0x67, 0x00));
  }
}

void WaysTable::showWayFailed(std::size_t way, const QString& failure) {
  if (way >= byWay_.size()) return;
  const int column = FirstWay + static_cast<int>(way);
  horizontalHeaderItem(column)->setToolTip(horizontalHeaderItem(column)->text() + QStringLiteral(": ") + failure);
  for (int row = 0; row < rowCount(); ++row) {
    if (byWay_[way].count(row) != 0 || cell(row, column).isEmpty()) continue;
    setCell(row, column, QStringLiteral("не проверен"));
    item(row, column)->setForeground(verdictColour(Verdict::NotRun));
    item(row, column)->setToolTip(failure);
  }
}

bool WaysTable::differs(int typeIndex) const {
  // The one rule of the terminal's matrix, over this type's row of every way that has ended it.
  ComparedSweep one;
  for (const auto& rows : byWay_) {
    one.ways.emplace_back();
    const auto found = rows.find(typeIndex);
    if (found != rows.end()) one.ways.back().result.rows.push_back(found->second);
  }
  return one.differs(0);
}

int WaysTable::differing() const {
  int count = 0;
  for (int row = 0; row < rowCount(); ++row) count += !cell(row, comparisonColumn()).isEmpty();
  return count;
}

QString WaysTable::cell(int row, int column) const {
  const QTableWidgetItem* found = item(row, column);
  return found ? found->text() : QString();
}

void WaysTable::setCell(int row, int column, const QString& text) {
  QTableWidgetItem* existing = item(row, column);
  if (!existing) {
    existing = new QTableWidgetItem;
    existing->setTextAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    setItem(row, column, existing);
  }
  existing->setText(text);
  existing->setToolTip(QString());
}

}  // namespace connchk::client::ui
