// The programs' icon, drawn in code: two hosts joined by a path with a round trip on it. The
// client's is blue, the server's green.
#pragma once

#include <QColor>
#include <QIcon>

namespace connchk::ui {

QIcon programIcon(const QColor& body);

inline QColor clientIconColor() { return QColor(0x1f, 0x5f, 0xbf); }
inline QColor serverIconColor() { return QColor(0x1f, 0x8f, 0x4f); }

}  // namespace connchk::ui
