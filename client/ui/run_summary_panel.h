// The figures of the current run under its plot, live as rounds end (sent, answered, loss, and the
// round trips' min / avg / max / mdev), and the verdict once the run has ended.
#pragma once

#include <cstdint>

#include <QGroupBox>
#include <QString>

#include "client/run_outcome.h"

class QLabel;

namespace connchk::client::ui {

enum class VerdictKind { Passed, Failed, Stopped };

struct RunVerdict {
  VerdictKind kind = VerdictKind::Failed;
  QString text;
};

// Passed: at least one answer came (the path carries this traffic; a loss is named in the text).
// Failed: no answer, or no request could be sent. Stopped: the operator asked for the end.
RunVerdict judgeRun(const RunSummary& summary, bool stopped);

// "0.123 мс"; "10 %" or "33.3 %".
QString millisecondsText(std::int64_t microseconds);
QString percentText(double percent);

class RunSummaryPanel : public QGroupBox {
 public:
  enum Figure { Sent, Answered, Loss, Min, Avg, Max, Mdev, FigureCount };

  explicit RunSummaryPanel(QWidget* parent = nullptr);

  // A new run: figures empty, "Идёт проверка".
  void showStarted(const QString& what);
  void showFigures(const RunSummary& summary);
  void showVerdict(const RunVerdict& verdict);

  QLabel* figure(Figure which) const { return figures_[which]; }
  QLabel* verdict() const { return verdict_; }

 private:
  QLabel* figures_[FigureCount] = {};
  QLabel* verdict_ = nullptr;
};

}  // namespace connchk::client::ui
