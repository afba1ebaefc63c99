#include "common/ui/hand_off.h"

#include <QMetaObject>
#include <QThread>

namespace connchk::ui {

HandOff::HandOff(QObject* owner) : gate_(std::make_shared<Gate>()), owner_(owner) {}

HandOff::~HandOff() { close(); }

void HandOff::run(std::function<void()> task) {
  if (!owner_ || closed()) return;
  if (QThread::currentThread() == owner_->thread()) {
    task();
    return;
  }
  // The posted call and this thread share the gate and a done flag; whichever of "done" and
  // "closed" comes first releases the wait.
  auto done = std::make_shared<bool>(false);
  auto gate = gate_;
  QMetaObject::invokeMethod(
      owner_,
      [gate, done, task = std::move(task)] {
        {
          std::lock_guard<std::mutex> hold(gate->mutex);
          if (gate->closed) return;
        }
        task();
        std::lock_guard<std::mutex> hold(gate->mutex);
        *done = true;
        gate->changed.notify_all();
      },
      Qt::QueuedConnection);
  std::unique_lock<std::mutex> hold(gate->mutex);
  gate->changed.wait(hold, [&] { return *done || gate->closed; });
}

void HandOff::post(std::function<void()> task) {
  if (!owner_ || closed()) return;
  auto gate = gate_;
  QMetaObject::invokeMethod(
      owner_,
      [gate, task = std::move(task)] {
        {
          std::lock_guard<std::mutex> hold(gate->mutex);
          if (gate->closed) return;
        }
        task();
      },
      Qt::QueuedConnection);
}

void HandOff::close() {
  std::lock_guard<std::mutex> hold(gate_->mutex);
  gate_->closed = true;
  gate_->changed.notify_all();
}

bool HandOff::closed() const {
  std::lock_guard<std::mutex> hold(gate_->mutex);
  return gate_->closed;
}

}  // namespace connchk::ui
