#include "common/ui/about_dialog.h"

#include <QLabel>
#include <QPushButton>

#include "common/ui/dialog_units.h"

namespace connchk::ui {

AboutDialog::AboutDialog(const QString& program, const QIcon& icon, QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("About ") + program);
  setWindowIcon(icon);
  const DialogUnits du(fontMetrics());
  setFixedSize(du.size(235, 55));

  auto* picture = new QLabel(this);
  du.place(picture, 11, 17, 20, 20);
  picture->setPixmap(icon.pixmap(picture->size()));

  version_ = new QLabel(program + QStringLiteral(" Version 1.0"), this);
  du.place(version_, 40, 10, 119, 8);

  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  du.place(ok, 178, 7, 50, 14);
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

}  // namespace connchk::ui
