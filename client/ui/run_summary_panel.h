// The figures of the current run under its plot, live as rounds end (sent, answered, loss,
// duplicates and late answers, the round trips' min / avg / max / mdev, percentiles and jitter, and
// TCP's retransmissions), and the verdict once the run has ended.
#pragma once

#include <cstdint>

#include <QColor>
#include <QGroupBox>
#include <QString>

#include "client/run_outcome.h"

class QLabel;

namespace connchk::client::ui {

enum class VerdictKind { Passed, PassedWithLoss, Failed, Stopped };

struct RunVerdict {
  VerdictKind kind = VerdictKind::Failed;
  QString text;
};

// How the window shows a run's judgement: passed in green, passed with loss in amber (the loss
// named), failed in red with its reason; a run the operator stopped reads as stopped.
RunVerdict verdictShown(const Judgement& judgement, const RunSummary& summary, bool stopped);
// The kind of a verdict, for the sweep's table.
VerdictKind verdictKind(Verdict verdict);
// Green, amber, red; the stopped one a darker amber.
QColor verdictColour(VerdictKind kind);

// "0.123 мс"; "10 %" or "33.3 %".
QString millisecondsText(std::int64_t microseconds);
QString percentText(double percent);

class RunSummaryPanel : public QGroupBox {
 public:
  enum Figure {
    Sent, Answered, Loss, Duplicates, LateAnswers,
    Min, Avg, Max, Mdev, P50, P95, P99, Jitter,
    TcpRetransmissions,  // "—" for a run that is not TCP's
    FigureCount
  };

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
