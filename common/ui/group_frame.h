// A group frame drawn as a Windows dialog draws one: the title sits on the frame's top line, so
// controls placed just below the title are inside the frame.
#pragma once

#include <QGroupBox>

namespace connchk::ui {

inline void drawAsGroupFrame(QGroupBox* frame) {
  frame->setStyleSheet(QStringLiteral(
      "QGroupBox { border: 1px solid palette(mid); border-radius: 2px; margin-top: 0.5em; }"
      "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left;"
      " left: 6px; padding: 0 2px; }"));
}

inline QGroupBox* groupFrame(const QString& title, QWidget* parent) {
  auto* frame = new QGroupBox(title, parent);
  drawAsGroupFrame(frame);
  return frame;
}

}  // namespace connchk::ui
