#include "client/ui/sweep_table.h"

#include "common/ui/read_only_table.h"

#include <QHeaderView>

#include "client/protocol_catalogue.h"
#include "client/ui/account_panel.h"

namespace connchk::client::ui {

QString sweepVerdictText(VerdictKind kind) {
  switch (kind) {
    case VerdictKind::Passed: return QStringLiteral("пройдена");
    case VerdictKind::PassedWithLoss: return QStringLiteral("пройдена с потерями");
    case VerdictKind::Failed: return QStringLiteral("не пройдена");
    case VerdictKind::Stopped: return QStringLiteral("остановлена");
  }
  return {};
}

SweepTable::SweepTable(QWidget* parent) : QTableWidget(parent) {
  setColumnCount(ColumnCount);
  setHorizontalHeaderLabels({QStringLiteral("Тип протокола"), QStringLiteral("Номер"), QStringLiteral("Отослано"),
                             QStringLiteral("Получено"), QStringLiteral("Потери"), QStringLiteral("Медиана"),
                             QStringLiteral("Туда /\nобратно"), QStringLiteral("MTU"), QStringLiteral("Итог")});
  connchk::ui::makeReadOnlyTable(this);
  horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
  horizontalHeader()->setSectionResizeMode(Type, QHeaderView::Stretch);
  resetRows();
}

void SweepTable::resetRows(bool withMtu) {
  setColumnHidden(Mtu, !withMtu);
  // With the MTU too a long type text may not fit: its end, which tells the streams apart, stays.
  setWordWrap(false);
  setTextElideMode(withMtu ? Qt::ElideLeft : Qt::ElideRight);
  const auto catalogue = ProtocolCatalogue();
  clearContents();
  setRowCount(static_cast<int>(catalogue.size()));
  for (int row = 0; row < rowCount(); ++row) {
    const ProtocolType& type = catalogue[static_cast<std::size_t>(row)];
    setCell(row, Type, QString::fromUtf8(type.text));
    setCell(row, Number, QString::number(type.number));
    for (int column = Sent; column < ColumnCount; ++column) setCell(row, static_cast<Column>(column), QString());
  }
}

void SweepTable::showChecking(int row) {
  if (row < 0 || row >= rowCount()) return;
  setCell(row, Verdict, QStringLiteral("проверка..."));
  item(row, Verdict)->setForeground(palette().text());
  scrollToItem(item(row, Type));
}

void SweepTable::showResult(int row, const RunSummary& summary, const RunVerdict& verdict) {
  if (row < 0 || row >= rowCount()) return;
  setCell(row, Sent, QString::number(summary.sent));
  setCell(row, Answered, QString::number(summary.answered));
  setCell(row, Loss, summary.sent > 0 ? percentText(summary.lossPercent) : QStringLiteral("—"));
  setCell(row, Median, summary.answered > 0 ? millisecondsText(summary.medianUs) : QStringLiteral("—"));
  setCell(row, Verdict, sweepVerdictText(verdict.kind));
  item(row, Verdict)->setForeground(verdictColour(verdict.kind));
  QFont bold = font();
  bold.setBold(true);
  item(row, Verdict)->setFont(bold);
}

void SweepTable::showAccount(int row, const ServerAccount& account) {
  if (row < 0 || row >= rowCount()) return;
  setCell(row, ThereBack, account.given ? QStringLiteral("%1 / %2").arg(account.lostThere).arg(account.lostBack)
                                        : QStringLiteral("—"));
  item(row, ThereBack)->setToolTip(accountTexts(account).join(QLatin1Char('\n')));
}

void SweepTable::showMtu(int row, const MtuRow& mtu) {
  if (row < 0 || row >= rowCount()) return;
  const std::string text = mtuCellText(mtu);
  setCell(row, Mtu, text == "-" ? QStringLiteral("—") : QString::fromStdString(text));
  item(row, Mtu)->setToolTip(QString::fromStdString(mtuVerdictText(mtu)));
}

void SweepTable::showNotRun(int row, const QString& reason) {
  if (row < 0 || row >= rowCount()) return;
  // The MTU, measured before the runs, stays: a type that cannot run may still have been measured.
  for (int column = Sent; column < Verdict; ++column) {
    if (column != Mtu) setCell(row, static_cast<Column>(column), QStringLiteral("—"));
  }
  setCell(row, Verdict, QStringLiteral("не проверен"));
  item(row, Verdict)->setForeground(palette().placeholderText());
  item(row, Verdict)->setToolTip(reason);
  item(row, Type)->setToolTip(reason);
}

QString SweepTable::cell(int row, Column column) const {
  const QTableWidgetItem* found = item(row, column);
  return found ? found->text() : QString();
}

void SweepTable::setCell(int row, Column column, const QString& text) {
  QTableWidgetItem* existing = item(row, column);
  if (!existing) {
    existing = new QTableWidgetItem;
    existing->setTextAlignment(column == Type ? Qt::AlignLeft | Qt::AlignVCenter : Qt::AlignRight | Qt::AlignVCenter);
    setItem(row, column, existing);
  }
  existing->setText(text);
  existing->setToolTip(QString());
}

}  // namespace connchk::client::ui
