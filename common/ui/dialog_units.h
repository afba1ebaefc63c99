// Dialog units to pixels, from the metrics of the window's font: a horizontal unit is a quarter of
// the average character width, a vertical unit an eighth of the character height. Laying the
// controls out in these units keeps the window's proportions whatever the font.
#pragma once

#include <QFontMetrics>
#include <QRect>
#include <QSize>
#include <QWidget>

namespace connchk::ui {

class DialogUnits {
 public:
  explicit DialogUnits(const QFontMetrics& metrics);

  int x(int units) const { return (units * baseX_ + 2) / 4; }
  int y(int units) const { return (units * baseY_ + 4) / 8; }
  QRect rect(int left, int top, int width, int height) const {
    return QRect(x(left), y(top), x(width), y(height));
  }
  QSize size(int width, int height) const { return QSize(x(width), y(height)); }

  // Places `widget` at a rectangle given in dialog units.
  void place(QWidget* widget, int left, int top, int width, int height) const {
    widget->setGeometry(rect(left, top, width, height));
  }

 private:
  int baseX_;
  int baseY_;
};

}  // namespace connchk::ui
