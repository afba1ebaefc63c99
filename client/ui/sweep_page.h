// The "Все типы" tab: the field "Через" above the sweep's matrix. Left empty, the sweep leaves by
// the routing table's choice; one way out (an interface or an address of this host), by that way;
// two or more, the sweep goes through each in turn and the compared matrix, a column per way,
// takes the place of the one-way matrix. Beside it, whether the sweep measures each type's MTU.
#pragma once

#include <vector>

#include <QString>
#include <QWidget>

#include "common/platform/way_out.h"

class QCheckBox;
class QLineEdit;
class QStackedWidget;

namespace connchk::client::ui {

class SweepTable;
class WaysTable;

class SweepPage : public QWidget {
 public:
  explicit SweepPage(QWidget* parent = nullptr);

  QLineEdit* viaEdit() const { return via_; }
  // "Искать MTU": before the runs, every type's largest request that passes unfragmented is found
  // (as --sweep --mtu does), shown in the matrix's column "MTU"; a sweep through one way only.
  QCheckBox* mtuBox() const { return mtu_; }
  SweepTable* table() const { return table_; }
  WaysTable* waysTable() const { return ways_; }
  // Which matrix shows: the compared one (true) or the one-way one.
  void showCompared(bool compared);
  bool showsCompared() const;

 private:
  QLineEdit* via_ = nullptr;
  QCheckBox* mtu_ = nullptr;
  QStackedWidget* matrices_ = nullptr;
  SweepTable* table_ = nullptr;
  WaysTable* ways_ = nullptr;
};

// The ways typed into "Через", separated by commas, semicolons or blanks, checked as the terminal's
// --via checks them before anything is sent: `problem` (Russian) names the first that is neither
// an interface name nor an address, or that this host cannot take now.
struct WaysRead {
  std::vector<platform::WayOut> ways;
  QString problem;
};
WaysRead readWays(const QString& text);

}  // namespace connchk::client::ui
