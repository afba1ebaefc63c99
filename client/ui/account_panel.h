// "Отчет сервера", under the run's figures: what the server says it received of the last run's
// requests, or of the type chosen in the sweep's matrix. Reached N of M, which way the losses
// happened, how the server sees this host (a NAT on the way), the TTL on arrival and the hops it
// implies, a DSCP changed on the way: the lines the terminal prints, without their prefix.
#pragma once

#include <map>

#include <QGroupBox>
#include <QString>
#include <QStringList>

#include "client/run_outcome.h"

class QLabel;

namespace connchk::client::ui {

class AccountPanel : public QGroupBox {
 public:
  explicit AccountPanel(QWidget* parent = nullptr);

  // Nothing to tell yet (a run or sweep starting); the accounts kept are forgotten.
  void clear();
  // The account of a run, or of the type `typeIndex` of a sweep (named in the title).
  void showAccount(const ServerAccount& account, int typeIndex = -1);
  // A sweep's type has ended: its account is kept for the matrix, and shown where it was asked for.
  void keep(int typeIndex, const ServerAccount& account);
  // The account kept for a type chosen in the sweep's matrix; nothing when none is kept.
  void showKept(int typeIndex);

  // What the panel says, a line each.
  QStringList lines() const { return lines_; }

 private:
  void showLines(const QStringList& lines);

  QLabel* columns_[2] = {};
  QStringList lines_;
  std::map<int, ServerAccount> kept_;
};

// The lines of an account as the window shows them: the terminal's lines without "Отчет сервера: ".
QStringList accountTexts(const ServerAccount& account);

}  // namespace connchk::client::ui
