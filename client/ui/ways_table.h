// The compared matrix of a sweep through several ways out: a row per type (its text and number),
// a column per way with the type's verdict through it and its median round trip, and a last
// column marking "различается" the types that the ways which ran them judged differently. It
// answers "which traffic does the tunnel break" in one look; each cell fills in as its run ends.
#pragma once

#include <cstddef>
#include <map>
#include <vector>

#include <QString>
#include <QStringList>
#include <QTableWidget>

#include "client/sweep.h"

namespace connchk::client::ui {

class WaysTable : public QTableWidget {
 public:
  static constexpr int Type = 0;
  static constexpr int Number = 1;
  static constexpr int FirstWay = 2;

  explicit WaysTable(QWidget* parent = nullptr);

  // A column per way, named by what the operator typed; every type of the catalogue, empty.
  void resetWays(const QStringList& labels);
  // The type now being checked through `way`.
  void showChecking(std::size_t way, int typeIndex);
  // A type's run through `way` has ended: its cell, and whether its verdicts differ.
  void showRow(std::size_t way, const SweepRow& row);
  // A way whose sweep could not start (the server has no address of its family, ...): its cells
  // that were waiting read "не проверен", the reason in their tooltip and the column's.
  void showWayFailed(std::size_t way, const QString& failure);

  int wayCount() const { return static_cast<int>(byWay_.size()); }
  int comparisonColumn() const { return FirstWay + wayCount(); }
  // The types marked "различается".
  int differing() const;
  QString cell(int row, int column) const;

 private:
  void setCell(int row, int column, const QString& text);
  bool differs(int typeIndex) const;

  std::vector<std::map<int, SweepRow>> byWay_;  // per way, the rows that ended, by type
};

}  // namespace connchk::client::ui
