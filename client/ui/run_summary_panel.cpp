#include "client/ui/run_summary_panel.h"

#include <cmath>

#include <QGridLayout>
#include <QLabel>

#include "common/text_format.h"
#include "common/ui/group_frame.h"

namespace connchk::client::ui {

namespace {
constexpr const char* FigureNames[RunSummaryPanel::FigureCount] = {
    "Отослано:", "Получено:", "Потеряно:", "Дубликатов:", "Поздних ответов:", "Мин.:", "Сред.:", "Макс.:", "Откл.:",
    "p50:",      "p95:",      "p99:",      "Джиттер:",    "Повт. передач TCP:"};
const QString Dash = QStringLiteral("—");

QString verdictStyle(VerdictKind kind) {
  return QStringLiteral("font-weight: bold; color: %1;").arg(verdictColour(kind).name());
}
}  // namespace

QColor verdictColour(VerdictKind kind) {
  switch (kind) {
    case VerdictKind::Passed: return QColor(0x1a, 0x7f, 0x37);
    case VerdictKind::PassedWithLoss: return QColor(0xc7, 0x7c, 0x00);
    case VerdictKind::Failed: return QColor(0xc6, 0x20, 0x20);
    case VerdictKind::Stopped: break;
  }
  return QColor(0x9a, 0x67, 0x00);
}

VerdictKind verdictKind(Verdict verdict) {
  switch (verdict) {
    case Verdict::Pass: return VerdictKind::Passed;
    case Verdict::Loss: return VerdictKind::PassedWithLoss;
    case Verdict::Fail: return VerdictKind::Failed;
    case Verdict::NotRun: break;
  }
  return VerdictKind::Stopped;
}

RunVerdict verdictShown(const Judgement& judgement, const RunSummary& summary, bool stopped) {
  if (stopped || judgement.verdict == Verdict::NotRun) return {VerdictKind::Stopped, QStringLiteral("Проверка остановлена")};
  switch (judgement.verdict) {
    case Verdict::Pass: return {VerdictKind::Passed, QStringLiteral("Проверка пройдена")};
    case Verdict::Loss:
      return {VerdictKind::PassedWithLoss, QStringLiteral("Проверка пройдена, потеряно %1 из %2")
                                               .arg(summary.sent - summary.answered)
                                               .arg(summary.sent)};
    default: break;
  }
  if (summary.sent == 0 && !judgement.reason.local && judgement.reason.code == "no-request") {
    return {VerdictKind::Failed, QStringLiteral("Проверка не пройдена: запрос не отослан")};
  }
  const QString why = judgement.reason.code == "no-answer" ? QStringLiteral("ответа нет")
                                                           : QString::fromStdString(judgement.reason.text);
  return {VerdictKind::Failed, QStringLiteral("Проверка не пройдена: ") + why};
}

QString millisecondsText(std::int64_t microseconds) {
  return QString::fromStdString(connchk::millisecondsText(microseconds)) + QStringLiteral(" мс");
}

QString percentText(double percent) {
  const double tenths = std::round(percent * 10.0) / 10.0;
  return QString::number(tenths, 'f', tenths == std::floor(tenths) ? 0 : 1) + QStringLiteral(" %");
}

RunSummaryPanel::RunSummaryPanel(QWidget* parent) : QGroupBox(QStringLiteral("Итоги"), parent) {
  connchk::ui::drawAsGroupFrame(this);
  auto* grid = new QGridLayout(this);
  grid->setContentsMargins(6, fontMetrics().height(), 6, 4);
  grid->setVerticalSpacing(1);
  for (int i = 0; i < FigureCount; ++i) {
    grid->addWidget(new QLabel(QString::fromUtf8(FigureNames[i]), this), i, 0);
    figures_[i] = new QLabel(Dash, this);
    figures_[i]->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    figures_[i]->setTextInteractionFlags(Qt::TextSelectableByMouse);
    grid->addWidget(figures_[i], i, 1);
  }
  verdict_ = new QLabel(this);
  verdict_->setWordWrap(true);
  QFont large = verdict_->font();
  large.setPointSizeF(large.pointSizeF() * 1.15);
  verdict_->setFont(large);
  verdict_->setAlignment(Qt::AlignCenter);
  grid->addWidget(verdict_, FigureCount, 0, 1, 2);
  grid->setRowStretch(FigureCount, 1);
}

void RunSummaryPanel::showStarted(const QString& what) {
  for (QLabel* figure : figures_) figure->setText(Dash);
  verdict_->setStyleSheet(QString());
  verdict_->setText(what);
}

void RunSummaryPanel::showFigures(const RunSummary& summary) {
  figures_[Sent]->setText(QString::number(summary.sent));
  figures_[Answered]->setText(QString::number(summary.answered));
  figures_[Loss]->setText(summary.sent > 0 ? percentText(summary.lossPercent) : Dash);
  const bool trips = summary.answered > 0;
  figures_[Min]->setText(trips ? millisecondsText(summary.minUs) : Dash);
  figures_[Avg]->setText(trips ? millisecondsText(summary.avgUs) : Dash);
  figures_[Max]->setText(trips ? millisecondsText(summary.maxUs) : Dash);
  figures_[Mdev]->setText(trips ? millisecondsText(summary.mdevUs) : Dash);
  figures_[Duplicates]->setText(QString::number(summary.duplicates));
  figures_[LateAnswers]->setText(QString::number(summary.lateAnswers));
  figures_[P50]->setText(trips ? millisecondsText(summary.medianUs) : Dash);
  figures_[P95]->setText(trips ? millisecondsText(summary.p95Us) : Dash);
  figures_[P99]->setText(trips ? millisecondsText(summary.p99Us) : Dash);
  figures_[Jitter]->setText(trips ? millisecondsText(summary.jitterUs) : Dash);
  figures_[TcpRetransmissions]->setText(summary.tcpRetransmissions >= 0 ? QString::number(summary.tcpRetransmissions)
                                                                        : Dash);
}

void RunSummaryPanel::showVerdict(const RunVerdict& verdict) {
  verdict_->setStyleSheet(verdictStyle(verdict.kind));
  verdict_->setText(verdict.text);
}

}  // namespace connchk::client::ui
