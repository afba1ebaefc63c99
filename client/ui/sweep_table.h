// The matrix of a sweep over every protocol type: one row per type (its text and number), filled
// in as each type's run ends with what it sent, got back and lost, its median round trip, what the
// server's account says was lost on the way there and back, and its verdict.
#pragma once

#include <QTableWidget>

#include "client/mtu.h"
#include "client/run_outcome.h"
#include "client/ui/run_summary_panel.h"

namespace connchk::client::ui {

class SweepTable : public QTableWidget {
 public:
  enum Column { Type, Number, Sent, Answered, Loss, Median, ThereBack, Mtu, Verdict, ColumnCount };

  explicit SweepTable(QWidget* parent = nullptr);

  // Every type of the catalogue, its figures empty; the column "MTU" shown when the sweep
  // measures it.
  void resetRows(bool withMtu = false);
  // The row of the type now being checked.
  void showChecking(int row);
  void showResult(int row, const RunSummary& summary, const RunVerdict& verdict);
  // "Туда / обратно": requests lost on the way there / answers lost on the way back, as the server
  // told ("—" when it told nothing); the account's lines in the cell's tooltip.
  void showAccount(int row, const ServerAccount& account);
  // "MTU": the path MTU the type's largest request made ("1400", "1400 ЧД" for a black hole, "—"
  // when none was found), its verdict in the cell's tooltip.
  void showMtu(int row, const MtuRow& mtu);
  // A type that could not run here: "не проверен", and why in its tooltip.
  void showNotRun(int row, const QString& reason);

  QString cell(int row, Column column) const;

 private:
  void setCell(int row, Column column, const QString& text);
};

// The short verdict of one type in the matrix.
QString sweepVerdictText(VerdictKind kind);

}  // namespace connchk::client::ui
