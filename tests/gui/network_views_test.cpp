// The views of where and which way traffic breaks, fed by hand: the trace's matrix and hops.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <QLabel>
#include <QTableWidget>

#include "client/protocol_catalogue.h"
#include "client/ui/trace_view.h"
#include "common/activity_log.h"
#include "tests/gui/gui_support.h"
#include "tests/support/program.h"

namespace connchk::client::ui {
namespace {

using connchk::testing::ensureApplication;
using platform::Address;

TraceHop hop(int number, HopAnswer answer, const char* address = nullptr, std::int64_t rttUs = 0, std::string said = {}) {
  TraceHop h;
  h.hop = number;
  h.answer = answer;
  if (address) h.address = Address::parse(address);
  if (rttUs > 0) h.rttUs = rttUs;
  h.said = std::move(said);
  return h;
}

TEST(TraceView, TheMatrixRowOfEachTypeAndTheHopsOfTheOneChosen) {
  ensureApplication();
  connchk::testing::ScratchFolder folder;
  ActivityLog log = ActivityLog::atPath(LogStyle::Client, folder.file("client_log.txt"));
  TraceView view(log);
  ASSERT_EQ(view.matrix()->rowCount(), 15);
  const int raw53 = 2;
  view.resetRows({UdpEchoIndex, raw53, TcpEchoIndex, TerminalUdpIndex});
  EXPECT_EQ(view.matrixCell(UdpEchoIndex, TraceView::Verdict).toStdString(), "трассировка...");
  EXPECT_EQ(view.matrixCell(IcmpIndex, TraceView::Verdict), "") << "a type outside the trace stays empty";

  const TypeTrace reached{UdpEchoIndex, TraceEnd::Reached, {}, {},
                          {hop(1, HopAnswer::TimeExceeded, "198.51.100.1", 41, "время жизни истекло"),
                           hop(2, HopAnswer::Silent),
                           hop(3, HopAnswer::ServerAnswer, "192.0.2.1", 1234, "ответ сервера")}};
  const TypeTrace silent{raw53, TraceEnd::Silence, {}, {},
                         {hop(1, HopAnswer::TimeExceeded, "198.51.100.1", 40, "время жизни истекло"),
                          hop(2, HopAnswer::TimeExceeded, "203.0.113.2", 62, "время жизни истекло"),
                          hop(3, HopAnswer::Silent), hop(4, HopAnswer::Silent), hop(5, HopAnswer::Silent)}};
  const TypeTrace refused{TcpEchoIndex, TraceEnd::Refused, {}, {},
                          {hop(1, HopAnswer::Refused, "198.51.100.1", 30, "административно запрещено")}};
  const TypeTrace notTraced{TerminalUdpIndex, TraceEnd::NotTraced, "port-855-taken", "порт 855 занят", {}};
  for (const TypeTrace& type : {reached, silent, refused, notTraced}) view.showType(type);

  struct Row {
    int type;
    const char *lastHop, *address, *verdict;
  };
  const Row rows[] = {
      {UdpEchoIndex, "3", "192.0.2.1", "дошел до сервера на узле 3"},
      {raw53, "2", "203.0.113.2", "обрывается после узла 2 (203.0.113.2), дальше никто не отвечает"},
      {TcpEchoIndex, "1", "198.51.100.1", "отвергнут на узле 1 адресом 198.51.100.1: административно запрещено"},
      {TerminalUdpIndex, "—", "—", "не прослеживается: порт 855 занят"},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(view.matrixCell(r.type, TraceView::LastHop).toStdString(), r.lastHop) << r.type;
    EXPECT_EQ(view.matrixCell(r.type, TraceView::LastAddress).toStdString(), r.address) << r.type;
    EXPECT_EQ(view.matrixCell(r.type, TraceView::Verdict).toStdString(), r.verdict) << r.type;
  }
  EXPECT_EQ(view.matrixCell(raw53, TraceView::Type).toStdString(), "ВЕЛТ-IP");
  EXPECT_EQ(view.matrixCell(raw53, TraceView::Number).toStdString(), "53");

  // Choosing a type shows its hops: a silent hop as "*", round trips in milliseconds.
  view.chooseType(UdpEchoIndex);
  EXPECT_EQ(view.hopsTitle()->text().toStdString(), "Маршрут типа IP-Клиент (udp), протокол №17: дошел до сервера на узле 3");
  ASSERT_EQ(view.hops()->rowCount(), 3);
  const std::vector<std::vector<const char*>> hops = {{"1", "198.51.100.1", "0.041", "время жизни истекло"},
                                                      {"2", "*", "", ""},
                                                      {"3", "192.0.2.1", "1.234", "ответ сервера"}};
  for (int row = 0; row < 3; ++row) {
    for (int column = 0; column < TraceView::HopColumnCount; ++column) {
      EXPECT_EQ(view.hopCell(row, static_cast<TraceView::HopColumn>(column)).toStdString(), hops[row][column])
          << row << "," << column;
    }
  }
  view.chooseType(raw53);
  EXPECT_EQ(view.hops()->rowCount(), 5);
  EXPECT_EQ(view.hopCell(1, TraceView::HopAddress).toStdString(), "203.0.113.2");
  EXPECT_EQ(view.hopCell(4, TraceView::HopAddress).toStdString(), "*");
  view.chooseType(TerminalUdpIndex);
  EXPECT_EQ(view.hops()->rowCount(), 0);
  // The chosen type's hops follow its trace as it ends.
  view.chooseType(IcmpIndex);
  EXPECT_EQ(view.hopsTitle()->text().toStdString(), "Маршрут типа ICMP: не прослежен");
  view.showType(TypeTrace{IcmpIndex, TraceEnd::Stopped, {}, {}, {hop(1, HopAnswer::Silent)}});
  EXPECT_EQ(view.matrixCell(IcmpIndex, TraceView::Verdict).toStdString(), "трассировка остановлена");
  EXPECT_EQ(view.hops()->rowCount(), 1);

  view.resetRows({});
  EXPECT_EQ(view.matrixCell(UdpEchoIndex, TraceView::Verdict), "");
}

}  // namespace
}  // namespace connchk::client::ui
