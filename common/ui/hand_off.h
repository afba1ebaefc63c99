// The window thread owns every widget; worker and service threads post work to it and never wait
// for it. Once the window is closing the gate is shut: what is still pending, and every later
// post, is skipped.
#pragma once

#include <functional>
#include <memory>
#include <mutex>

#include <QObject>

namespace connchk::ui {

class HandOff {
 public:
  // Tasks run on the thread of `owner` (the window). The owner shuts the gate and detaches the
  // views that use it before it goes.
  explicit HandOff(QObject* owner);
  ~HandOff();
  HandOff(const HandOff&) = delete;
  HandOff& operator=(const HandOff&) = delete;

  // Runs `task` on the owner's thread later, `delayMs` from when that thread takes it up,
  // without waiting (skipped once the gate is shut). Callable from any thread.
  void post(std::function<void()> task, int delayMs = 0);

  // Shuts the gate. Called on the owner's thread.
  void close();
  bool closed() const;

 private:
  struct Gate {
    mutable std::mutex mutex;
    bool closed = false;
    bool isClosed() const {
      std::lock_guard<std::mutex> hold(mutex);
      return closed;
    }
  };
  std::shared_ptr<Gate> gate_;
  QObject* owner_;
};

}  // namespace connchk::ui
