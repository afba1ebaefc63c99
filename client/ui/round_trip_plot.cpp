#include "client/ui/round_trip_plot.h"

#include <algorithm>
#include <cmath>

#include <QChart>
#include <QLineSeries>
#include <QImage>
#include <QPainter>
#include <QValueAxis>

namespace connchk::client::ui {

namespace {
// A red cross: a round without an answer.
QImage missMark() {
  QImage mark(9, 9, QImage::Format_ARGB32_Premultiplied);
  mark.fill(Qt::transparent);
  QPainter paint(&mark);
  paint.setRenderHint(QPainter::Antialiasing);
  paint.setPen(QPen(QColor(0xd0, 0x20, 0x20), 2.2));
  paint.drawLine(QPointF(1.5, 1.5), QPointF(7.5, 7.5));
  paint.drawLine(QPointF(1.5, 7.5), QPointF(7.5, 1.5));
  return mark;
}
}  // namespace

// The chart is handed to the view as it is made: a chart set later would leave the view's own
// first chart behind, never deleted.
RoundTripPlot::RoundTripPlot(QWidget* parent)
    : QChartView(new QChart, parent),
      answers_(new QLineSeries),
      misses_(new QLineSeries),
      timeAxis_(new QValueAxis),
      tripAxis_(new QValueAxis) {
  QChart* plot = chart();
  plot->legend()->hide();
  plot->setMargins(QMargins(2, 2, 2, 2));
  plot->setBackgroundRoundness(0);

  answers_->setName(QStringLiteral("Время приема-передачи"));
  answers_->setPointsVisible(true);
  answers_->setColor(QColor(0x1f, 0x6f, 0xb4));
  // The marks are drawn as one picture each on a series without a line: a scatter series would
  // make every mark an item of its own, which costs a hundred times more to redraw.
  misses_->setName(QStringLiteral("Нет ответа"));
  misses_->setPen(Qt::NoPen);
  misses_->setLightMarker(missMark());
  misses_->setMarkerSize(9);
  plot->addSeries(answers_);
  plot->addSeries(misses_);

  QFont small = font();
  small.setPointSizeF(small.pointSizeF() * 0.85);
  for (QValueAxis* axis : {timeAxis_, tripAxis_}) {
    axis->setLabelsFont(small);
    axis->setTitleFont(small);
  }
  timeAxis_->setTitleText(QStringLiteral("с от начала"));
  timeAxis_->setLabelFormat(QStringLiteral("%g"));
  tripAxis_->setTitleText(QStringLiteral("мс"));
  tripAxis_->setLabelFormat(QStringLiteral("%g"));
  plot->addAxis(timeAxis_, Qt::AlignBottom);
  plot->addAxis(tripAxis_, Qt::AlignLeft);
  for (QXYSeries* series : {static_cast<QXYSeries*>(answers_), static_cast<QXYSeries*>(misses_)}) {
    series->attachAxis(timeAxis_);
    series->attachAxis(tripAxis_);
  }
  setRenderHint(QPainter::Antialiasing);
  clear();
}

void RoundTripPlot::clear() {
  tripPoints_.clear();
  missTimes_.clear();
  haveStart_ = false;
  lastTime_ = 0.0;
  highestTrip_ = 0.0;
  redraw();
}

void RoundTripPlot::addRounds(std::span<const RoundRecord> rounds) {
  if (rounds.empty()) return;
  for (const RoundRecord& round : rounds) {
    if (!haveStart_) {
      haveStart_ = true;
      startUs_ = round.sentAtUnixUs;
    }
    const double time = static_cast<double>(round.sentAtUnixUs - startUs_) / 1e6;
    lastTime_ = std::max(lastTime_, time);
    if (round.result == RoundResult::Answered && round.roundTripUs >= 0) {
      const double trip = static_cast<double>(round.roundTripUs) / 1e3;
      highestTrip_ = std::max(highestTrip_, trip);
      tripPoints_.push_back(QPointF(time, trip));
    } else if (round.result != RoundResult::Stopped) {  // Stop is no fault of the path
      missTimes_.push_back(time);
    }
  }
  dropOldest();
  redraw();
}

int RoundTripPlot::answerPoints() const { return static_cast<int>(tripPoints_.size()); }
int RoundTripPlot::missedMarks() const { return static_cast<int>(missTimes_.size()); }

void RoundTripPlot::dropOldest() {
  bool dropped = false;
  // The oldest round of either kind goes first.
  while (tripPoints_.size() + missTimes_.size() > static_cast<std::size_t>(MaxRounds)) {
    const bool answerFirst =
        !tripPoints_.empty() && (missTimes_.empty() || tripPoints_.front().x() <= missTimes_.front());
    if (answerFirst) {
      tripPoints_.pop_front();
      dropped = true;
    } else {
      missTimes_.pop_front();
    }
  }
  if (!dropped) return;
  highestTrip_ = 0.0;
  for (const QPointF& point : tripPoints_) highestTrip_ = std::max(highestTrip_, point.y());
}

void RoundTripPlot::redraw() {
  double first = lastTime_;
  if (!tripPoints_.empty()) first = std::min(first, tripPoints_.front().x());
  if (!missTimes_.empty()) first = std::min(first, missTimes_.front());
  timeAxis_->setRange(std::floor(first), std::max(first + 10.0, lastTime_ + 1.0));
  timeAxis_->applyNiceNumbers();
  // Room above the highest answer for the marks of the rounds without one, along the top edge.
  tripAxis_->setRange(0.0, std::max(1.0, highestTrip_ * 1.25));
  tripAxis_->applyNiceNumbers();
  // Just under the edge, so that the marks are drawn whole.
  const double top = tripAxis_->max() * 0.96;
  // One replace per series and batch: a series signals every point it is given one by one.
  answers_->replace(QList<QPointF>(tripPoints_.begin(), tripPoints_.end()));
  QList<QPointF> marks;
  marks.reserve(static_cast<qsizetype>(missTimes_.size()));
  for (const double time : missTimes_) marks.append(QPointF(time, top));
  misses_->replace(marks);
}

}  // namespace connchk::client::ui
