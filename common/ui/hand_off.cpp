#include "common/ui/hand_off.h"

#include <QMetaObject>
#include <QTimer>

namespace connchk::ui {

HandOff::HandOff(QObject* owner) : gate_(std::make_shared<Gate>()), owner_(owner) {}

HandOff::~HandOff() { close(); }

void HandOff::post(std::function<void()> task, int delayMs) {
  if (!owner_ || closed()) return;
  auto gate = gate_;
  auto guarded = [gate, task = std::move(task)] {
    if (!gate->isClosed()) task();
  };
  QObject* owner = owner_;
  if (delayMs <= 0) {
    QMetaObject::invokeMethod(owner, std::move(guarded), Qt::QueuedConnection);
    return;
  }
  // A timer belongs to the thread that starts it: start it on the owner's.
  QMetaObject::invokeMethod(
      owner, [owner, delayMs, guarded = std::move(guarded)] { QTimer::singleShot(delayMs, owner, guarded); },
      Qt::QueuedConnection);
}

void HandOff::close() {
  std::lock_guard<std::mutex> hold(gate_->mutex);
  gate_->closed = true;
}

bool HandOff::closed() const { return gate_->isClosed(); }

}  // namespace connchk::ui
