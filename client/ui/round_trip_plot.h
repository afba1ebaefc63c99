// The current run's round trips against time, drawn as answers come: one point per answer on a
// line, and a red mark along the top edge for every round that got none (a time-out, a failed
// receive or send, a closed connection; not a wait that Stop ended).
#pragma once

#include <cstdint>
#include <deque>
#include <span>

#include <QChartView>

#include "client/run_outcome.h"

class QLineSeries;
class QValueAxis;

namespace connchk::client::ui {

class RoundTripPlot : public QChartView {
 public:
  // The newest rounds kept on the plot (an hour of the window's runs); older ones scroll off the
  // left edge.
  static constexpr int MaxRounds = 3600;

  explicit RoundTripPlot(QWidget* parent = nullptr);

  // Empties the plot for a new run; its time axis starts at the next round's send.
  void clear();
  void addRounds(std::span<const RoundRecord> rounds);

  int answerPoints() const;
  int missedMarks() const;
  QLineSeries* answers() const { return answers_; }
  QLineSeries* misses() const { return misses_; }
  QValueAxis* timeAxis() const { return timeAxis_; }
  QValueAxis* tripAxis() const { return tripAxis_; }

 private:
  void dropOldest();
  void redraw();

  QLineSeries* answers_;
  QLineSeries* misses_;  // marks only, no line
  QValueAxis* timeAxis_;
  QValueAxis* tripAxis_;
  std::deque<QPointF> tripPoints_;  // seconds since the run's first send, milliseconds
  std::deque<double> missTimes_;    // the marks' times; their height follows the axis
  bool haveStart_ = false;
  std::int64_t startUs_ = 0;
  double lastTime_ = 0.0;
  double highestTrip_ = 0.0;
};

}  // namespace connchk::client::ui
