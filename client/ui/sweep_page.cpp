#include "client/ui/sweep_page.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpression>
#include <QStackedWidget>
#include <QVBoxLayout>

#include "client/ui/sweep_table.h"
#include "client/ui/ways_table.h"

namespace connchk::client::ui {

SweepPage::SweepPage(QWidget* parent) : QWidget(parent) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 2, 0, 0);
  layout->setSpacing(2);
  auto* row = new QHBoxLayout;
  row->setContentsMargins(4, 0, 4, 0);
  auto* label = new QLabel(QStringLiteral("Через:"), this);
  row->addWidget(label);
  via_ = new QLineEdit(this);
  via_->setPlaceholderText(QStringLiteral("маршрут по умолчанию"));
  via_->setToolTip(QStringLiteral("Интерфейсы или адреса этого компьютера, через запятую: через два и более "
                                  "пути типы проверяются по очереди через каждый и сравниваются"));
  label->setBuddy(via_);
  row->addWidget(via_, 1);
  mtu_ = new QCheckBox(QStringLiteral("Искать MTU"), this);
  mtu_->setToolTip(QStringLiteral("Перед проверкой найти для каждого типа наибольший запрос, проходящий без "
                                  "фрагментации (только для одного пути)"));
  row->addWidget(mtu_);
  layout->addLayout(row);
  matrices_ = new QStackedWidget(this);
  table_ = new SweepTable(matrices_);
  ways_ = new WaysTable(matrices_);
  matrices_->addWidget(table_);
  matrices_->addWidget(ways_);
  layout->addWidget(matrices_, 1);
}

void SweepPage::showCompared(bool compared) { matrices_->setCurrentWidget(compared ? static_cast<QWidget*>(ways_) : table_); }

bool SweepPage::showsCompared() const { return matrices_->currentWidget() == ways_; }

WaysRead readWays(const QString& text) {
  WaysRead read;
  static const QRegularExpression separators(QStringLiteral("[,;\\s]+"));
  for (const QString& part : text.split(separators, Qt::SkipEmptyParts)) {
    const auto way = platform::parseWayOut(part.toStdString());
    if (!way) {
      read.problem = QStringLiteral("«%1» — не адрес и не имя интерфейса").arg(part);
      return read;
    }
    switch (platform::wayOutFault(*way)) {
      case platform::WayOutFault::None: break;
      case platform::WayOutFault::NoSuchInterface:
        read.problem = QStringLiteral("Нет интерфейса %1 на этом компьютере").arg(part);
        return read;
      case platform::WayOutFault::InterfaceDown:
        read.problem = QStringLiteral("Интерфейс %1 выключен").arg(part);
        return read;
      case platform::WayOutFault::NotThisHostsAddress:
        read.problem = QStringLiteral("Адрес %1 не принадлежит этому компьютеру").arg(part);
        return read;
    }
    read.ways.push_back(*way);
  }
  return read;
}

}  // namespace connchk::client::ui
