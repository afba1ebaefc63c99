// The server's window on the offscreen platform: its initial state, the services started while it
// initialises, and its two lists filling from many service threads at once through the hand-off.

#include <cstring>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <QAction>
#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

#include "common/cp1251.h"
#include "common/platform/sockets.h"
#include "common/protocol.h"
#include "common/ui/dialog_units.h"
#include "server/service_host.h"
#include "server/services.h"
#include "server/ui/server_dialog.h"
#include "server/ui/service_table.h"
#include "tests/gui/gui_support.h"
#include "tests/support/echo_server.h"
#include "tests/support/private_network.h"
#include "tests/support/program.h"

namespace connchk::server::ui {
namespace {

using connchk::testing::ensureApplication;
using connchk::testing::listLines;
using connchk::testing::ScratchFolder;
using connchk::testing::waitUntil;
using namespace std::chrono_literals;

platform::Address address(const char* dotted) { return platform::Address::parse(dotted).value(); }

// Service threads of the test's own: each logs its start line and then a run of requests from
// a few senders, as the real services do through the shared log and statistics.
class FakeServices {
 public:
  static constexpr int Threads = 4;
  static constexpr int LinesEach = 40;

  ~FakeServices() { join(); }

  void start(ServerContext& server) {
    // The first line logged comes from the window thread, before any service thread runs.
    server.log.log("Старт службы 0");
    for (int t = 0; t < Threads; ++t) {
      threads_.emplace_back([&server, t, this] {
        go_.wait(false);
        for (int i = 0; i < LinesEach; ++i) {
          const std::string sender = "10.1." + std::to_string(t) + "." + std::to_string(i % 3 + 1);
          server.statistics.record(address(sender.c_str()), 32 + static_cast<unsigned long>(i));
          server.statistics.record(address("10.9.9.9"), 100 + static_cast<unsigned long>(t));
          ReportReceivedPacket(server, sender, ", протокол поток " + std::to_string(t) + " #" + std::to_string(i));
        }
      });
    }
  }
  void release() {
    go_ = true;
    go_.notify_all();
  }
  void join() {
    release();
    for (auto& t : threads_) {
      if (t.joinable()) t.join();
    }
  }

 private:
  std::atomic<bool> go_{false};
  std::vector<std::thread> threads_;
};

class ServerWindowTest : public ::testing::Test {
 protected:
  void SetUp() override { ensureApplication(); }

  void open(ServiceStarter starter) {
    dialog_ = std::make_unique<ServerDialog>(context_, std::move(starter));
    dialog_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog_.get()));
  }

  void TearDown() override {
    dialog_.reset();
    host_.stop();
  }

  ScratchFolder folder_;
  ActivityLog log_ = ActivityLog::atPath(LogStyle::Server, folder_.file("server_log.txt"));
  SenderStatistics statistics_;
  ServerCounters counters_;
  ServerContext context_{log_, statistics_, counters_};
  ServiceHost host_{context_};
  std::unique_ptr<ServerDialog> dialog_;
};

TEST_F(ServerWindowTest, OpensWithItsFramesListsAndExit) {
  int started = 0;
  open([&started](ServerContext&) { ++started; });
  EXPECT_EQ(started, 1);  // during the window's initialisation
  ServerDialog& d = *dialog_;
  EXPECT_EQ(d.windowTitle().toStdString(), "Сервер проверки соединения для клиента ВЕЛТ-IP");
  EXPECT_EQ(d.exitButton()->text().toStdString(), "Выход");
  EXPECT_TRUE(d.exitButton()->isDefault());
  EXPECT_EQ(d.statisticsList()->count(), 0);
  EXPECT_EQ(d.logList()->count(), 0);
  EXPECT_EQ(d.aboutAction()->text().toStdString(), "&About server...");
  std::vector<std::string> titles;
  for (const QGroupBox* frame : d.findChildren<QGroupBox*>()) titles.push_back(frame->title().toStdString());
  EXPECT_EQ(titles, (std::vector<std::string>{"Статистика", "Протокол работы", "Службы"}));
  const connchk::ui::DialogUnits du(d.fontMetrics());
  EXPECT_EQ(d.size(), du.size(494, 262 + ServerDialog::GrowthUnits));
  EXPECT_EQ(d.exitButton()->geometry(), du.rect(437, 239, 50, 16));
  // Below them, every service's row in view at once.
  const ServiceTable& table = *d.serviceTable();
  EXPECT_GE(table.geometry().top(), du.y(262));
  EXPECT_LE(table.rowViewportPosition(14) + table.rowHeight(14), table.viewport()->height());
  EXPECT_EQ(d.statisticsList()->geometry(), du.rect(13, 16, 169, 231));
  EXPECT_EQ(d.logList()->geometry(), du.rect(201, 22, 280, 206));

  // Enter acts as "Выход", which closes the window as OK.
  QTest::keyClick(dialog_.get(), Qt::Key_Return);
  EXPECT_FALSE(d.isVisible());
  EXPECT_EQ(d.result(), QDialog::Accepted);
}

TEST_F(ServerWindowTest, ListsFillFromManyServiceThreadsInOneOrder) {
  FakeServices services;
  open([&services](ServerContext& server) { services.start(server); });
  ASSERT_EQ(dialog_->logList()->count(), 1);  // the line logged during initialisation is shown
  services.release();
  const int total = 1 + FakeServices::Threads * FakeServices::LinesEach;
  int seen = 0;
  ASSERT_TRUE(waitUntil([&] {
    // Count lines as they arrive: the list itself stays bounded at 100.
    seen = static_cast<int>(connchk::testing::occurrences(connchk::testing::readFile(folder_.file("server_log.txt")), "\n\r"));
    return seen == total;
  }, 60s));  // generous: a loaded machine under the sanitizers needs most of ten seconds
  services.join();
  // The list holds the file's last 99 lines after the first, in the file's order.
  const auto fileLines = connchk::testing::splitLines(fromWindows1251(connchk::testing::readFile(folder_.file("server_log.txt"))), "\n\r");
  ASSERT_TRUE(waitUntil([&] {
    const int n = dialog_->logList()->count();
    return n == 100 && dialog_->logList()->item(n - 1)->text().toStdString() == fileLines.back() &&
           dialog_->statisticsList()->count() == FakeServices::Threads * 3 + 1;
  }));

  const auto lines = listLines(dialog_->logList());
  ASSERT_EQ(lines.size(), 100u);
  EXPECT_EQ(lines[0], "Старт службы 0");
  ASSERT_EQ(fileLines.size(), static_cast<std::size_t>(total));
  EXPECT_EQ(fileLines[0], lines[0]);
  for (std::size_t i = 1; i < lines.size(); ++i) EXPECT_EQ(lines[i], fileLines[fileLines.size() - 100 + i]);
  EXPECT_NE(lines.back().find("Принят пакет от 10.1."), std::string::npos);
  EXPECT_NE(lines.back().find(" (unresolved), протокол поток "), std::string::npos);

  // One line per sender: 3 per thread and the one they all share, with its first size.
  const auto statistics = listLines(dialog_->statisticsList());
  EXPECT_EQ(statistics.size(), static_cast<std::size_t>(FakeServices::Threads * 3 + 1));
  EXPECT_EQ(statistics_.filledSlots(), static_cast<int>(statistics.size()));
  int shared = 0;
  for (const std::string& line : statistics) {
    if (line.rfind("10.9.9.9 размер 10", 0) == 0) ++shared;
    if (line.rfind("10.1.0.1 ", 0) == 0) {
      EXPECT_EQ(line, "10.1.0.1 размер 32");
    }
    if (line.rfind("10.1.3.3 ", 0) == 0) {
      EXPECT_EQ(line, "10.1.3.3 размер 34");
    }
  }
  EXPECT_EQ(shared, 1);

  // Each line's tooltip tells how many requests its sender made and when the last came.
  dialog_->refreshFigures();
  for (int i = 0; i < dialog_->statisticsList()->count(); ++i) {
    const QListWidgetItem* item = dialog_->statisticsList()->item(i);
    const std::string line = item->text().toStdString();
    const char* requests = line.rfind("10.9.9.9 ", 0) == 0 ? "Запросов: 160, последний в "
                           : line.rfind("10.1.0.1 ", 0) == 0 ? "Запросов: 14, последний в "
                           : line.rfind("10.1.0.2 ", 0) == 0 ? "Запросов: 13, последний в "
                                                              : "Запросов: 1";
    EXPECT_EQ(item->toolTip().toStdString().rfind(requests, 0), 0u) << line << ": " << item->toolTip().toStdString();
  }
}

TEST_F(ServerWindowTest, ClosingReleasesServiceThreadsThatWaitOnTheWindow) {
  FakeServices services;
  open([&services](ServerContext& server) { services.start(server); });
  services.release();
  std::this_thread::sleep_for(100ms);  // the services now wait on the window thread
  dialog_->exitButton()->click();
  std::atomic<bool> joined{false};
  std::thread joiner([&] {
    services.join();
    joined = true;
  });
  EXPECT_TRUE(connchk::testing::eventually([&] { return joined.load(); }, 5s)) << "a service thread stays blocked on the closed window";
  joiner.join();
  // Every line still reached the file.
  ASSERT_TRUE(log_.flush());
  EXPECT_EQ(connchk::testing::occurrences(connchk::testing::readFile(folder_.file("server_log.txt")), "\n\r"),
            1 + FakeServices::Threads * FakeServices::LinesEach);
}

TEST_F(ServerWindowTest, TheFiguresNeverWaitOnAServiceThatWaitsOnTheWindow) {
  open({});
  // The service adds a new sender's line and waits on the window thread with the table locked.
  std::thread service([this] { statistics_.record(address("10.2.3.4"), 32); });
  std::this_thread::sleep_for(200ms);
  dialog_->refreshFigures();  // on the window thread: must not wait for that lock
  EXPECT_TRUE(waitUntil([&] { return dialog_->statisticsList()->count() == 1; }));
  service.join();
  dialog_->refreshFigures();
  EXPECT_EQ(dialog_->statisticsList()->item(0)->toolTip().toStdString().rfind("Запросов: 1, последний в ", 0), 0u);
}

TEST_F(ServerWindowTest, TheContextMenuOffersTheAboutBox) {
  open({});
  const auto about = connchk::testing::aboutBoxOpenedBy(dialog_->aboutAction());
  EXPECT_EQ(about.title, "About server");
  EXPECT_EQ(about.version, "server Version 1.0");
}

// Drives the real start-up, as the program does, and a UDP echo request to port 87.
TEST_F(ServerWindowTest, ListsFillFromTheRealServices) {
  REQUIRE_PRIVATE_NETWORK();
  open([this](ServerContext&) { host_.start(); });
  platform::Socket socket = testing::openedSocket(platform::Family::IPv4, SOCK_DGRAM);
  ASSERT_TRUE(socket.valid());
  const auto server = platform::Address::loopback(platform::Family::IPv4, EchoPort);
  std::vector<std::uint8_t> request(32, 0);
  buildEchoRequest(request.data(), 0);
  ASSERT_TRUE(waitUntil([&] {
    (void)platform::sendTo(socket.fd(), request.data(), request.size(), server);  // sent again until counted
    QTest::qWait(100);
    return dialog_->statisticsList()->count() > 0;
  }));
  EXPECT_EQ(dialog_->statisticsList()->item(0)->text().toStdString(), "127.0.0.1 размер 32");
  // The sender is recorded before its line is logged: the line may come a moment later.
  EXPECT_TRUE(waitUntil([&] {
    return connchk::testing::occurrences(connchk::testing::readFile(folder_.file("server_log.txt")),
                                         toWindows1251("Принят пакет от 127.0.0.1 (unresolved)")) > 0;
  }));
}

// N echo requests to the real UDP service, each answered before the next: the table counts N.
TEST_F(ServerWindowTest, TheServicesTableCountsRequestsFromTheRealServices) {
  REQUIRE_PRIVATE_NETWORK();
  open([this](ServerContext&) { host_.start(); });
  const ServiceTable& table = *dialog_->serviceTable();
  const int udp = static_cast<int>(EchoUdpSlot);
  ASSERT_TRUE(waitUntil([&] { return table.cell(udp, ServiceTable::State) == "работает"; }));
  connchk::testing::EchoPeer peer(SOCK_DGRAM);
  constexpr int Requests = 7;
  for (int i = 0; i < Requests; ++i) {
    ASSERT_TRUE(peer.answers(connchk::testing::echoRequest(32))) << "request " << i << " unanswered";
  }
  // The window samples the counters once a second on its own.
  EXPECT_TRUE(waitUntil([&] { return table.cell(udp, ServiceTable::Answered) == QString::number(Requests); }))
      << table.cell(udp, ServiceTable::Answered).toStdString();
  EXPECT_EQ(table.cell(udp, ServiceTable::Erroneous), "0");
  EXPECT_EQ(table.cell(static_cast<int>(EchoTcpSlot), ServiceTable::Answered), "0");
}

}  // namespace
}  // namespace connchk::server::ui
