#include "common/ui/dialog_units.h"

#include <algorithm>

#include <QString>

namespace connchk::ui {

DialogUnits::DialogUnits(const QFontMetrics& metrics) {
  // The average width over the 52 Latin letters, rounded, as Windows measures dialog units. The
  // windows' texts are Russian, and the fonts here draw Cyrillic wider than Latin: where the
  // Cyrillic alphabet is wider on average, it sets the unit, so the texts fit their fields.
  const QString latin = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
  const QString cyrillic = QStringLiteral("АБВГДЕЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯабвгдежзийклмнопрстуфхцчшщъыьэюя");
  const int latinAverage2 = metrics.horizontalAdvance(latin) / 26;        // twice the average
  const int cyrillicAverage2 = metrics.horizontalAdvance(cyrillic) / 32;  // twice the average
  baseX_ = (std::max(latinAverage2, cyrillicAverage2) + 1) / 2;
  baseY_ = metrics.height();
  if (baseX_ < 1) baseX_ = 1;
  if (baseY_ < 1) baseY_ = 1;
}

}  // namespace connchk::ui
