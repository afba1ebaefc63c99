// The "Маршрут" tab: where each type of traffic stops on the way to the server. Its button traces
// every type at once on a thread of its own; the matrix shows each type's verdict with the last
// hop that answered and its address, and below it the hops of the type chosen in the matrix.
// The tracing thread never waits on the window: each type's trace queues as it ends, and the
// window takes the queue on a timer.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include <QString>
#include <QWidget>

#include "client/trace.h"
#include "common/activity_log.h"
#include "common/ui/batch_queue.h"

class QLabel;
class QPushButton;
class QTableWidget;
class QTimer;

namespace connchk::client::ui {

class TraceView : public QWidget {
 public:
  enum MatrixColumn { Type, Number, LastHop, LastAddress, Verdict, MatrixColumnCount };
  enum HopColumn { Hop, HopAddress, RoundTrip, Said, HopColumnCount };

  // What the window lends the trace: the request made from its fields (nullopt: a field was
  // refused and the window said so, or another check is going on), and what it shows as the trace
  // starts and when it has ended (its buttons, its summary).
  struct Hooks {
    std::function<std::optional<TraceRequest>()> request;
    std::function<void()> started;
    std::function<void(const TraceResult& result, bool stopped)> ended;
  };

  TraceView(ActivityLog& log, QWidget* parent = nullptr);
  // Stops a trace going on and waits for its thread (at most one short wait).
  ~TraceView() override;

  void setHooks(Hooks hooks) { hooks_ = std::move(hooks); }

  // The button: traces the window's address, every type (or those of setTypes).
  void start();
  // "Остановить": the unfinished types end as stopped within one short wait.
  void stop();
  bool running() const { return thread_.joinable(); }
  // The types traced, in order; empty (the default) is the whole catalogue.
  void setTypes(std::vector<int> types) { types_ = std::move(types); }

  // The matrix: every type of the catalogue, those of `traced` marked as being traced.
  void resetRows(const std::vector<int>& traced);
  // A type's trace has ended: its row, and its hops below when it is the one chosen.
  void showType(const TypeTrace& type);
  // Chooses the type whose hops are shown below the matrix.
  void chooseType(int typeIndex);

  QPushButton* startButton() const { return start_; }
  QTableWidget* matrix() const { return matrix_; }
  QTableWidget* hops() const { return hops_; }
  QLabel* hopsTitle() const { return hopsTitle_; }
  QString matrixCell(int row, MatrixColumn column) const;
  QString hopCell(int row, HopColumn column) const;

 private:
  void showHops(int typeIndex);
  void drain();

  ActivityLog& log_;
  Hooks hooks_;
  std::vector<int> types_;
  std::map<int, TypeTrace> traced_;  // the types whose trace has ended, by catalogue index
  int chosen_ = -1;

  QPushButton* start_ = nullptr;
  QTableWidget* matrix_ = nullptr;
  QLabel* hopsTitle_ = nullptr;
  QTableWidget* hops_ = nullptr;
  QTimer* drainTimer_ = nullptr;

  std::unique_ptr<Tracer> tracer_;  // one per trace: a stop holds for the trace it was asked of
  std::thread thread_;
  connchk::ui::BatchQueue<TypeTrace> ended_;
  std::atomic<bool> finished_{false};
  bool stopAsked_ = false;
  TraceResult result_;  // written by the tracing thread, read once it has finished
};

}  // namespace connchk::client::ui
