// The hand-off to the window thread and the lists fed through it: nobody who posts or logs waits
// for the window; a window that lags behind ends up showing the same lines as one that keeps up,
// and holds no more lines meanwhile than it shows.
#include "common/ui/hand_off.h"

#include <sys/socket.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include <QListWidget>
#include <QObject>
#include <QTest>
#include <QThread>

#include "common/activity_log.h"
#include "common/cp1251.h"
#include "common/platform/net.h"
#include "common/protocol.h"
#include "common/text_format.h"
#include "common/ui/list_views.h"
#include "server/service_host.h"
#include "server/ui/server_dialog.h"
#include "tests/gui/gui_support.h"
#include "tests/support/echo_server.h"
#include "tests/support/private_network.h"
#include "tests/support/program.h"

namespace connchk::ui {
namespace {

using connchk::testing::ensureApplication;
using connchk::testing::eventually;
using connchk::testing::listLines;
using connchk::testing::ScratchFolder;
using connchk::testing::waitUntil;
using namespace std::chrono_literals;

TEST(HandOffTest, PostsRunOnTheOwnersThreadLaterAndNotOnceTheGateIsShut) {
  ensureApplication();
  QObject owner;
  HandOff handOff(&owner);
  std::atomic<int> ran{0};
  QThread* ranOn = nullptr;
  std::thread caller([&] {
    handOff.post([&] {
      ranOn = QThread::currentThread();
      ++ran;
    });
    handOff.post([&] { ++ran; }, 50);
  });
  caller.join();  // returns although the owner's thread has not run the tasks
  EXPECT_EQ(ran, 0);
  ASSERT_TRUE(waitUntil([&] { return ran == 2; }));
  EXPECT_EQ(ranOn, owner.thread());

  handOff.post([&] { ++ran; });
  handOff.post([&] { ++ran; }, 10);
  handOff.close();
  handOff.post([&] { ++ran; });
  QTest::qWait(100);
  EXPECT_EQ(ran, 2) << "what was pending and what came later is skipped";
  EXPECT_TRUE(handOff.closed());
}

// Thousands of lines from several threads (one by one, or in batches) while the window thread runs
// no event at all: every call returns, and once the window runs it shows the first line and the
// 99 newest of the file, and every statistics line; meanwhile no more than a list's worth of lines
// waited for it.
TEST(WindowLists, ABurstFromManyThreadsNeverWaitsForTheWindow) {
  ensureApplication();
  ScratchFolder folder;
  QWidget window;
  auto* logList = new QListWidget(&window);
  auto* statisticsList = new QListWidget(&window);
  int rowsShown = 0;
  QObject::connect(logList->model(), &QAbstractItemModel::rowsInserted,
                   [&rowsShown](const QModelIndex&, int first, int last) { rowsShown += last - first + 1; });
  HandOff handOff(&window);
  ActivityLog log = ActivityLog::atPath(LogStyle::Server, folder.file("server_log.txt"));
  LogListView logView(logList, handOff);
  BatchedList statistics(statisticsList, handOff, false);
  log.setView(&logView);
  log.log("первая строка");

  constexpr int Threads = 4, LinesEach = 2500, StatisticsEvery = 250;
  std::atomic<int> finished{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < Threads; ++t) {
    threads.emplace_back([&, t] {
      // Odd threads log in batches, as the datagram services do.
      LogLines batch;
      LogLine line;
      for (int i = 0; i < LinesEach; ++i) {
        const std::string text = format("поток %d строка %d", t, i);
        if (t % 2 == 0) {
          log.log(text);
        } else {
          batch.add(line.clear().utf8(text));
          if (batch.size() == 7 || i + 1 == LinesEach) {
            log.log(batch);
            batch.clear();
          }
        }
        if (i % StatisticsEvery == 0) statistics.append(format("10.0.%d.%d размер 32", t, i / StatisticsEvery));
      }
      ++finished;
    });
  }
  EXPECT_TRUE(eventually([&] { return finished == Threads; }, 30s)) << "the threads wait for the window thread";
  ASSERT_TRUE(waitUntil([&] { return finished == Threads; }));  // (lets a waiting thread go)
  for (auto& t : threads) t.join();

  ASSERT_TRUE(log.flush());
  const auto fileLines = testing::splitLines(fromWindows1251(testing::readFile(folder.file("server_log.txt"))), "\n\r");
  ASSERT_EQ(fileLines.size(), 1u + Threads * LinesEach);
  ASSERT_TRUE(waitUntil([&] {
    return logList->count() == LogViewCapacity &&
           logList->item(LogViewCapacity - 1)->text().toStdString() == fileLines.back() &&
           statisticsList->count() == Threads * LinesEach / StatisticsEvery;
  }));
  const auto lines = listLines(logList);
  EXPECT_EQ(lines[0], "первая строка");
  for (std::size_t i = 1; i < lines.size(); ++i) EXPECT_EQ(lines[i], fileLines[fileLines.size() - 100 + i]);
  EXPECT_EQ(logList->currentRow(), LogViewCapacity - 1);
  EXPECT_LE(rowsShown, 2 * LogViewCapacity) << "the lagging window was handed every line";
  // Each thread's statistics lines in its own order.
  std::vector<int> next(Threads, 0);
  for (const std::string& line : listLines(statisticsList)) {
    int t = 0, n = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "10.0.%d.%d", &t, &n), 2);
    EXPECT_EQ(n, next[static_cast<std::size_t>(t)]++) << line;
  }
  log.setView(nullptr);
}

// The real services answer while the window thread is busy and shows nothing: their answer rate
// is not tied to the window.
TEST(WindowLists, TheServicesAnswerWhileTheWindowThreadIsBusy) {
  REQUIRE_PRIVATE_NETWORK();
  ensureApplication();
  ScratchFolder folder;
  std::unique_ptr<ActivityLog> log(new ActivityLog(ActivityLog::atPath(LogStyle::Server, folder.file("server_log.txt"))));
  server::SenderStatistics statistics;
  server::ServerCounters counters;
  server::ServerContext context{*log, statistics, counters};
  context.settings.log.ratePerSecond = 0;  // every request's lines are counted here
  server::ServiceHost host(context);
  server::ui::ServerDialog dialog(context, [&host](server::ServerContext&) { host.start(); });
  dialog.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));

  testing::EchoPeer socket(SOCK_DGRAM);
  const testing::Bytes request = testing::echoRequest(32);
  const auto answered = [&] { return bool(socket.answers(request)); };
  ASSERT_TRUE(waitUntil(answered));  // the service is up; the window thread ran meanwhile

  // This thread is the window thread: from here on it runs no event until the load is over.
  constexpr int Requests = 1000;
  int count = 0;
  while (count < Requests && answered()) ++count;
  EXPECT_EQ(count, Requests) << "an answer waited for the window";

  ASSERT_TRUE(waitUntil([&] {
    const auto lines = listLines(dialog.logList());
    return testing::occurrences(testing::readFile(folder.file("server_log.txt")),
                                toWindows1251("Принят пакет от 127.0.0.1")) == Requests + 1 &&
           !lines.empty() && lines.back() == "Ожидание нового запроса" && dialog.statisticsList()->count() == 1;
  }));
  host.stop();
  log->setView(nullptr);
}

}  // namespace
}  // namespace connchk::ui
