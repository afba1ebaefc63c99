// The window thread owns every widget; worker and service threads hand list operations and the
// log-file alert to it and wait until they are done. Once the window is closing the gate is shut:
// a waiting thread returns at once and later hand-offs are skipped, so nobody waits on a window
// that will never answer.
#pragma once

#include <condition_variable>
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

  // Runs `task` on the owner's thread and waits for it to finish. Called on that thread, runs it
  // directly. Returns without running it when the gate is shut, or as soon as it is shut.
  void run(std::function<void()> task);

  // Runs `task` on the owner's thread later, without waiting (skipped once the gate is shut).
  void post(std::function<void()> task);

  // Shuts the gate and wakes every waiting thread. Called on the owner's thread.
  void close();
  bool closed() const;

 private:
  struct Gate {
    mutable std::mutex mutex;
    std::condition_variable changed;
    bool closed = false;
  };
  std::shared_ptr<Gate> gate_;
  QObject* owner_;
};

}  // namespace connchk::ui
