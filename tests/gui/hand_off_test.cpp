// The hand-off to the window thread: tasks run on that thread while the caller waits, and once
// the gate is shut nobody waits and nothing more runs.
#include "common/ui/hand_off.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <QObject>
#include <QTest>
#include <QThread>

#include "tests/gui/gui_support.h"

namespace connchk::ui {
namespace {

using connchk::testing::ensureApplication;
using connchk::testing::waitUntil;
using namespace std::chrono_literals;

TEST(HandOffTest, RunsOnTheOwnersThreadWhileTheCallerWaits) {
  ensureApplication();
  QObject owner;
  HandOff handOff(&owner);
  // On the owner's thread the task runs at once.
  int direct = 0;
  handOff.run([&] { ++direct; });
  EXPECT_EQ(direct, 1);

  QThread* ranOn = nullptr;
  int value = 0;
  std::atomic<bool> returned{false};
  std::thread caller([&] {
    handOff.run([&] {
      ranOn = QThread::currentThread();
      value = 42;
    });
    // The task is complete by the time run() returns.
    EXPECT_EQ(value, 42);
    returned = true;
  });
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(returned);  // the owner's thread has not run its event loop yet
  ASSERT_TRUE(waitUntil([&] { return returned.load(); }));
  caller.join();
  EXPECT_EQ(ranOn, owner.thread());
}

TEST(HandOffTest, ClosingReleasesWaitersAndSkipsWhatIsPending) {
  ensureApplication();
  QObject owner;
  HandOff handOff(&owner);
  std::atomic<int> ran{0};
  std::atomic<int> returned{0};
  std::vector<std::thread> callers;
  for (int i = 0; i < 3; ++i) {
    callers.emplace_back([&] {
      handOff.run([&] { ++ran; });
      ++returned;
    });
  }
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(returned, 0);
  handOff.close();
  for (auto& c : callers) c.join();
  EXPECT_EQ(returned, 3);
  handOff.post([&] { ++ran; });
  handOff.run([&] { ++ran; });
  QTest::qWait(50);
  EXPECT_EQ(ran, 0);
  EXPECT_TRUE(handOff.closed());
}

TEST(HandOffTest, PostDoesNotWait) {
  ensureApplication();
  QObject owner;
  HandOff handOff(&owner);
  std::atomic<int> ran{0};
  std::thread caller([&] { handOff.post([&] { ++ran; }); });
  caller.join();  // returns although the owner's thread has not run the task
  EXPECT_EQ(ran, 0);
  ASSERT_TRUE(waitUntil([&] { return ran == 1; }));
}

}  // namespace
}  // namespace connchk::ui
