// What the windows' figure tables share: rows one text line high, nothing to edit, select or focus.
#pragma once

#include <QHeaderView>
#include <QTableWidget>

namespace connchk::ui {

inline void makeReadOnlyTable(QTableWidget* table) {
  table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table->setSelectionMode(QAbstractItemView::NoSelection);
  table->setFocusPolicy(Qt::NoFocus);
  table->verticalHeader()->hide();
  table->verticalHeader()->setMinimumSectionSize(table->fontMetrics().height() + 2);
  table->verticalHeader()->setDefaultSectionSize(table->fontMetrics().height() + 2);
  table->horizontalHeader()->setHighlightSections(false);
}

}  // namespace connchk::ui
