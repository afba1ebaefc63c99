// The About box of either program: its caption "About <program>", the icon, the line
// "<program> Version 1.0" and an OK button, 235 x 55 dialog units.
#pragma once

#include <QDialog>
#include <QIcon>

class QLabel;

namespace connchk::ui {

class AboutDialog : public QDialog {
 public:
  AboutDialog(const QString& program, const QIcon& icon, QWidget* parent = nullptr);

  QLabel* versionLabel() const { return version_; }

 private:
  QLabel* version_;
};

}  // namespace connchk::ui
