#include "client/ui/round_trip_plot.h"

#include <algorithm>
#include <cmath>

#include <QChart>
#include <QLineSeries>
#include <QScatterSeries>
#include <QValueAxis>

namespace connchk::client::ui {

RoundTripPlot::RoundTripPlot(QWidget* parent)
    : QChartView(parent),
      answers_(new QLineSeries),
      misses_(new QScatterSeries),
      timeAxis_(new QValueAxis),
      tripAxis_(new QValueAxis) {
  auto* plot = new QChart;
  plot->legend()->hide();
  plot->setMargins(QMargins(2, 2, 2, 2));
  plot->setBackgroundRoundness(0);

  answers_->setName(QStringLiteral("Время приема-передачи"));
  answers_->setPointsVisible(true);
  answers_->setColor(QColor(0x1f, 0x6f, 0xb4));
  misses_->setName(QStringLiteral("Нет ответа"));
  misses_->setMarkerShape(QScatterSeries::MarkerShapeRectangle);
  misses_->setMarkerSize(7);
  misses_->setColor(QColor(0xd0, 0x20, 0x20));
  misses_->setBorderColor(QColor(0xd0, 0x20, 0x20));
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
  setChart(plot);
  setRenderHint(QPainter::Antialiasing);
  clear();
}

void RoundTripPlot::clear() {
  answers_->clear();
  misses_->clear();
  missTimes_.clear();
  haveStart_ = false;
  lastTime_ = 0.0;
  highestTrip_ = 0.0;
  rescale();
}

void RoundTripPlot::addRounds(std::span<const RoundRecord> rounds) {
  if (rounds.empty()) return;
  QList<QPointF> points;
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
      points.append(QPointF(time, trip));
    } else {
      missTimes_.push_back(time);
    }
  }
  // One append per batch: the series redraws once, however many rounds came.
  if (!points.isEmpty()) answers_->append(points);
  dropOldest();
  rescale();
}

int RoundTripPlot::answerPoints() const { return answers_->count(); }
int RoundTripPlot::missedMarks() const { return static_cast<int>(missTimes_.size()); }

void RoundTripPlot::dropOldest() {
  const int over = answerPoints() + missedMarks() - MaxRounds;
  if (over <= 0) return;
  // Drops the oldest rounds of either kind, whichever began earlier.
  int answersToDrop = 0;
  std::size_t missesToDrop = 0;
  for (int n = 0; n < over; ++n) {
    const bool answerLeft = answersToDrop < answers_->count();
    const bool missLeft = missesToDrop < missTimes_.size();
    if (answerLeft && (!missLeft || answers_->at(answersToDrop).x() <= missTimes_[missesToDrop])) {
      ++answersToDrop;
    } else if (missLeft) {
      ++missesToDrop;
    }
  }
  if (answersToDrop > 0) answers_->removePoints(0, answersToDrop);
  missTimes_.erase(missTimes_.begin(), missTimes_.begin() + static_cast<std::ptrdiff_t>(missesToDrop));
  highestTrip_ = 0.0;
  for (const QPointF& point : answers_->points()) highestTrip_ = std::max(highestTrip_, point.y());
}

void RoundTripPlot::rescale() {
  double first = lastTime_;
  if (answers_->count() > 0) first = std::min(first, answers_->at(0).x());
  if (!missTimes_.empty()) first = std::min(first, missTimes_.front());
  timeAxis_->setRange(std::floor(first), std::max(first + 10.0, lastTime_ + 1.0));
  timeAxis_->applyNiceNumbers();
  // Room above the highest answer for the marks of the rounds without one.
  tripAxis_->setRange(0.0, std::max(1.0, highestTrip_ * 1.25));
  tripAxis_->applyNiceNumbers();
  const double top = tripAxis_->max();
  QList<QPointF> marks;
  marks.reserve(static_cast<qsizetype>(missTimes_.size()));
  for (const double time : missTimes_) marks.append(QPointF(time, top));
  misses_->replace(marks);
}

}  // namespace connchk::client::ui
