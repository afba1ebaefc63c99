// The views of where and which way traffic breaks, fed by hand: the trace's matrix and hops, the
// server's account under the figures and in the sweep's matrix, the ways typed into "Через" and the
// matrix that compares them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <QLabel>
#include <QTableWidget>

#include "client/protocol_catalogue.h"
#include "client/ui/account_panel.h"
#include "client/ui/sweep_page.h"
#include "client/ui/sweep_table.h"
#include "client/ui/ways_table.h"
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

ServerAccount account(int requests, int reached, int lostThere, int lostBack) {
  ServerAccount a;
  a.asked = a.given = true;
  a.requests = requests;
  a.reached = reached;
  a.lostThere = lostThere;
  a.lostBack = lostBack;
  return a;
}

TEST(AccountPanel, TheAccountOfARunAndOfEachTypeOfASweep) {
  ensureApplication();
  ServerAccount open = account(4, 4, 0, 0);
  open.seenAs = "127.0.0.1:40112";
  open.ttl = open.sentTtl = 64;
  open.tos = 0;
  ServerAccount natBack = account(4, 4, 0, 4);
  natBack.seenAs = "198.51.100.7:40112";
  natBack.translated = true;
  natBack.ttl = 62;
  natBack.sentTtl = 64;
  natBack.tos = 0;
  natBack.sentTos = 184;
  ServerAccount both = account(5, 2, 3, 2);
  both.seenAs = "127.0.0.1";
  ServerAccount silentServer;
  silentServer.asked = true;
  ServerAccount nothingSent;

  struct Case {
    const char* what;
    ServerAccount account;
    std::vector<const char*> lines;
    const char* cell;  // "Туда / обратно" in the sweep's matrix
  };
  const Case cases[] = {
      {"open path", open,
       {"запросов дошло до сервера 4 из 4", "сервер видит вас как 127.0.0.1:40112",
        "TTL по прибытии 64, маршрутизаторов на пути 0"},
       "0 / 0"},
      {"answers lost behind a NAT that rewrites DSCP", natBack,
       {"запросов дошло до сервера 4 из 4", "запросы доходят, ответы теряются на обратном пути",
        "сервер видит вас как 198.51.100.7:40112", "адрес изменён по пути (NAT)",
        "TTL по прибытии 62, маршрутизаторов на пути 2", "DSCP отправлен 46, получен 0: изменён по пути"},
       "0 / 4"},
      {"lost both ways", both,
       {"запросов дошло до сервера 2 из 5", "потеряно на пути к серверу 3, на обратном пути 2",
        "сервер видит вас как 127.0.0.1"},
       "3 / 2"},
      {"a server without the account", silentServer, {"сервер не сообщает, что получил"}, "—"},
      {"nothing sent", nothingSent, {"сервер не спрашивали: запросы не отосланы"}, "—"},
  };
  AccountPanel panel;
  SweepTable table;
  for (const Case& c : cases) {
    panel.showAccount(c.account);
    const QStringList lines = panel.lines();
    ASSERT_EQ(lines.size(), static_cast<qsizetype>(c.lines.size())) << c.what;
    for (std::size_t i = 0; i < c.lines.size(); ++i) EXPECT_EQ(lines[static_cast<qsizetype>(i)].toStdString(), c.lines[i]) << c.what;
    EXPECT_EQ(panel.title().toStdString(), "Отчет сервера");
    table.showAccount(UdpEchoIndex, c.account);
    EXPECT_EQ(table.cell(UdpEchoIndex, SweepTable::ThereBack).toStdString(), c.cell) << c.what;
  }
  EXPECT_EQ(table.item(UdpEchoIndex, SweepTable::ThereBack)->toolTip().toStdString(), "");
  table.showAccount(TcpEchoIndex, natBack);
  EXPECT_NE(table.item(TcpEchoIndex, SweepTable::ThereBack)->toolTip().toStdString().find("ответы теряются на обратном пути"),
            std::string::npos);

  // A sweep keeps each type's account; the one chosen in the matrix is shown, named.
  panel.keep(UdpEchoIndex, open);
  panel.keep(TcpEchoIndex, natBack);
  EXPECT_EQ(panel.title().toStdString(), "Отчет сервера: TCP (порт 87)");
  panel.keep(IcmpIndex, nothingSent);
  EXPECT_EQ(panel.title().toStdString(), "Отчет сервера: TCP (порт 87)") << "a type that sent nothing";
  panel.showKept(UdpEchoIndex);
  EXPECT_EQ(panel.title().toStdString(), "Отчет сервера: IP-Клиент");
  EXPECT_EQ(panel.lines().size(), 3);
  panel.showKept(TerminalUdpIndex);  // none kept: what is shown stays
  EXPECT_EQ(panel.title().toStdString(), "Отчет сервера: IP-Клиент");
  panel.clear();
  EXPECT_TRUE(panel.lines().isEmpty());
  panel.showKept(UdpEchoIndex);
  EXPECT_TRUE(panel.lines().isEmpty()) << "a new run forgets the sweep's accounts";
}

SweepRow sweepRow(int typeIndex, Verdict verdict, std::int64_t medianUs = 0, std::string reason = {}) {
  SweepRow row;
  row.typeIndex = typeIndex;
  row.verdict = verdict;
  row.summary.medianUs = medianUs;
  row.reason = std::move(reason);
  return row;
}

TEST(WaysTable, AColumnPerWayAndTheTypesJudgedDifferentlyMarked) {
  ensureApplication();
  WaysTable table;
  table.resetWays({QStringLiteral("tun0"), QStringLiteral("192.0.2.5")});
  ASSERT_EQ(table.columnCount(), 5);
  EXPECT_EQ(table.horizontalHeaderItem(WaysTable::FirstWay)->text(), "tun0");
  EXPECT_EQ(table.horizontalHeaderItem(table.comparisonColumn())->text().toStdString(), "Сравнение");
  const int raw53 = 2;
  table.showChecking(0, UdpEchoIndex);
  EXPECT_EQ(table.cell(UdpEchoIndex, WaysTable::FirstWay).toStdString(), "проверка...");

  struct Step {
    std::size_t way;
    SweepRow row;
  };
  const Step steps[] = {
      {0, sweepRow(UdpEchoIndex, Verdict::Pass, 412)},  {0, sweepRow(raw53, Verdict::Fail)},
      {0, sweepRow(TerminalUdpIndex, Verdict::NotRun, 0, "порт 855 занят")},
      {0, sweepRow(IcmpIndex, Verdict::Fail)},          {1, sweepRow(UdpEchoIndex, Verdict::Pass, 388)},
      {1, sweepRow(raw53, Verdict::Pass, 301)},         {1, sweepRow(TerminalUdpIndex, Verdict::Pass, 500)},
  };
  for (const Step& step : steps) table.showRow(step.way, step.row);
  struct Row {
    int type;
    const char *first, *second, *compared;
  };
  const Row rows[] = {
      {UdpEchoIndex, "пройден, 0.412 мс", "пройден, 0.388 мс", ""},
      {raw53, "не пройден", "пройден, 0.301 мс", "различается"},
      {TerminalUdpIndex, "не проверен", "пройден, 0.500 мс", ""},  // a type not run says nothing of its way
      {IcmpIndex, "не пройден", "", ""},                          // the second way has not run it yet
  };
  for (const Row& r : rows) {
    EXPECT_EQ(table.cell(r.type, WaysTable::Type).toStdString(), ProtocolCatalogue()[r.type].text);
    EXPECT_EQ(table.cell(r.type, WaysTable::FirstWay).toStdString(), r.first) << r.type;
    EXPECT_EQ(table.cell(r.type, WaysTable::FirstWay + 1).toStdString(), r.second) << r.type;
    EXPECT_EQ(table.cell(r.type, table.comparisonColumn()).toStdString(), r.compared) << r.type;
  }
  EXPECT_EQ(table.item(TerminalUdpIndex, WaysTable::FirstWay)->toolTip().toStdString(), "порт 855 занят");
  EXPECT_EQ(table.differing(), 1);
  // The second way then finds ICMP failing too: the same verdict, nothing marked.
  table.showRow(1, sweepRow(IcmpIndex, Verdict::Fail));
  EXPECT_EQ(table.cell(IcmpIndex, table.comparisonColumn()), "");

  // A way that could not start: its cells that waited read "не проверен", and say why.
  table.resetWays({QStringLiteral("lo"), QStringLiteral("2001:db8::5")});
  table.showRow(0, sweepRow(UdpEchoIndex, Verdict::Pass, 100));
  table.showChecking(1, UdpEchoIndex);
  table.showWayFailed(1, QStringLiteral("у сервера нет адреса IPv6"));
  EXPECT_EQ(table.cell(UdpEchoIndex, WaysTable::FirstWay + 1).toStdString(), "не проверен");
  EXPECT_EQ(table.item(UdpEchoIndex, WaysTable::FirstWay + 1)->toolTip().toStdString(), "у сервера нет адреса IPv6");
  EXPECT_EQ(table.cell(IcmpIndex, WaysTable::FirstWay + 1), "") << "a type outside the plan stays empty";
  EXPECT_EQ(table.differing(), 0);
}

TEST(SweepPage, TheWaysTypedAreCheckedBeforeTheSweepStarts) {
  struct Case {
    const char* typed;
    std::size_t ways;
    const char* problem;
  };
  const Case cases[] = {
      {"", 0, ""},
      {"  ", 0, ""},
      {"lo", 1, ""},
      {"127.0.0.1, lo;127.0.0.1", 3, ""},
      {"127.0.0.1,,lo", 2, ""},
      {"lo, a/b", 0, "«a/b» — не адрес и не имя интерфейса"},
      {"nosuch0", 0, "Нет интерфейса nosuch0 на этом компьютере"},
      {"lo 192.0.2.77", 0, "Адрес 192.0.2.77 не принадлежит этому компьютеру"},
  };
  for (const Case& c : cases) {
    const WaysRead read = readWays(QString::fromUtf8(c.typed));
    EXPECT_EQ(read.problem.toStdString(), c.problem) << c.typed;
    if (read.problem.isEmpty()) {
      EXPECT_EQ(read.ways.size(), c.ways) << c.typed;
    }
  }
  const WaysRead read = readWays(QStringLiteral("127.0.0.1 lo"));
  ASSERT_EQ(read.ways.size(), 2u);
  EXPECT_EQ(read.ways[0].kind, platform::WayOut::Kind::Address);
  EXPECT_EQ(read.ways[1].kind, platform::WayOut::Kind::Interface);
  EXPECT_EQ(read.ways[1].name, "lo");
}

}  // namespace
}  // namespace connchk::client::ui
