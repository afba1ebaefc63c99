#include "common/ui/program_icon.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace connchk::ui {
namespace {

QPixmap drawIcon(int side, const QColor& body) {
  QPixmap pixmap(side, side);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(side / 32.0, side / 32.0);

  // The tile.
  p.setPen(QPen(body.darker(140), 1));
  p.setBrush(body);
  p.drawRoundedRect(QRectF(1.5, 1.5, 29, 29), 6, 6);

  // The round trip: a request going out above, the answer coming back below.
  p.setPen(QPen(Qt::white, 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.setBrush(Qt::NoBrush);
  QPainterPath out;
  out.moveTo(9, 13);
  out.cubicTo(13, 6, 19, 6, 23, 13);
  p.drawPath(out);
  QPainterPath back;
  back.moveTo(23, 19);
  back.cubicTo(19, 26, 13, 26, 9, 19);
  p.drawPath(back);
  p.setBrush(Qt::white);
  p.setPen(Qt::NoPen);
  p.drawPolygon(QPolygonF({QPointF(24.8, 15.2), QPointF(20.4, 12.4), QPointF(25.2, 10.4)}));
  p.drawPolygon(QPolygonF({QPointF(7.2, 16.8), QPointF(11.6, 19.6), QPointF(6.8, 21.6)}));

  // The two hosts.
  p.setBrush(QColor(0xff, 0xd2, 0x4a));
  p.setPen(QPen(body.darker(160), 1));
  p.drawEllipse(QPointF(7, 16), 3.2, 3.2);
  p.drawEllipse(QPointF(25, 16), 3.2, 3.2);
  return pixmap;
}

}  // namespace

QIcon programIcon(const QColor& body) {
  QIcon icon;
  for (const int side : {16, 24, 32, 48, 64, 128}) icon.addPixmap(drawIcon(side, body));
  return icon;
}

}  // namespace connchk::ui
