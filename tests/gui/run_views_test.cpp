// The pictures of the windows fed by hand: the round-trip plot, the figures and verdicts, the
// sweep matrix and the server's table of services, each from records and counters set here.
#include <gtest/gtest.h>

#include <vector>

#include <QLabel>
#include <QLineSeries>
#include <QValueAxis>

#include "client/ui/round_trip_plot.h"
#include "client/ui/run_summary_panel.h"
#include "client/ui/sweep_table.h"
#include "server/ui/service_table.h"
#include "tests/gui/gui_support.h"

namespace connchk::client::ui {
namespace {

using connchk::testing::ensureApplication;

RoundRecord round(int number, RoundResult result, std::int64_t tripUs = -1) {
  RoundRecord r;
  r.number = number;
  r.sentAtUnixUs = 1'700'000'000'000'000 + std::int64_t{number - 1} * 1'000'000;  // one a second
  r.result = result;
  r.roundTripUs = tripUs;
  return r;
}

TEST(RoundTripPlot, OnePointPerAnswerAndAMarkAtTheTopForEveryRoundWithout) {
  ensureApplication();
  RoundTripPlot plot;
  const std::vector<RoundRecord> first = {round(1, RoundResult::Answered, 1500), round(2, RoundResult::TimedOut)};
  const std::vector<RoundRecord> second = {round(3, RoundResult::Answered, 4000), round(4, RoundResult::ReceiveError),
                                           round(5, RoundResult::Answered, 500), round(6, RoundResult::Stopped)};
  plot.addRounds(first);
  plot.addRounds(second);
  ASSERT_EQ(plot.answerPoints(), 3);
  EXPECT_EQ(plot.missedMarks(), 2);
  // Seconds since the first send against milliseconds.
  EXPECT_EQ(plot.answers()->at(0), QPointF(0.0, 1.5));
  EXPECT_EQ(plot.answers()->at(1), QPointF(2.0, 4.0));
  EXPECT_EQ(plot.answers()->at(2), QPointF(4.0, 0.5));
  ASSERT_EQ(plot.misses()->count(), 2);
  EXPECT_EQ(plot.misses()->at(0).x(), 1.0);
  EXPECT_EQ(plot.misses()->at(1).x(), 3.0);
  // The marks sit on the top edge, above every answer, and all of it is in view.
  EXPECT_GT(plot.tripAxis()->max(), 4.0);
  EXPECT_GT(plot.misses()->at(0).y(), 4.0);
  EXPECT_LT(plot.misses()->at(0).y(), plot.tripAxis()->max());
  EXPECT_LE(plot.timeAxis()->min(), 0.0);
  EXPECT_GE(plot.timeAxis()->max(), 4.0);

  plot.clear();
  EXPECT_EQ(plot.answerPoints(), 0);
  EXPECT_EQ(plot.missedMarks(), 0);
  EXPECT_EQ(plot.misses()->count(), 0);

  // A run without end keeps only the newest rounds.
  std::vector<RoundRecord> many;
  for (int i = 1; i <= RoundTripPlot::MaxRounds + 10; ++i) {
    many.push_back(round(i, i % 2 ? RoundResult::Answered : RoundResult::TimedOut, 100));
  }
  plot.addRounds(many);
  EXPECT_EQ(plot.answerPoints() + plot.missedMarks(), RoundTripPlot::MaxRounds);
  EXPECT_EQ(plot.answers()->count() + plot.misses()->count(), RoundTripPlot::MaxRounds);
  EXPECT_EQ(plot.answers()->at(0).x(), 10.0);  // rounds 1 to 10 are gone
  EXPECT_GE(plot.timeAxis()->max(), RoundTripPlot::MaxRounds + 9.0);
}

TEST(RunSummaryPanel, FiguresAndVerdicts) {
  ensureApplication();
  RunSummaryPanel panel;
  panel.showStarted(QStringLiteral("Идёт проверка..."));
  EXPECT_EQ(panel.figure(RunSummaryPanel::Sent)->text(), "—");

  RunSummary summary;
  summary.sent = 3;
  summary.answered = 2;
  summary.lossPercent = 100.0 / 3;
  summary.minUs = 120;
  summary.avgUs = 1560;
  summary.maxUs = 3000;
  summary.mdevUs = 1440;
  summary.medianUs = 1000;
  summary.p95Us = 2900;
  summary.p99Us = 2990;
  summary.jitterUs = 2880;
  summary.duplicates = 4;
  summary.lateAnswers = 1;
  summary.tcpRetransmissions = 7;
  panel.showFigures(summary);
  const std::vector<std::pair<RunSummaryPanel::Figure, const char*>> shown = {
      {RunSummaryPanel::Sent, "3"},         {RunSummaryPanel::Answered, "2"},     {RunSummaryPanel::Loss, "33.3 %"},
      {RunSummaryPanel::Duplicates, "4"},   {RunSummaryPanel::LateAnswers, "1"},  {RunSummaryPanel::Min, "0.120 мс"},
      {RunSummaryPanel::Avg, "1.560 мс"},   {RunSummaryPanel::Max, "3.000 мс"},   {RunSummaryPanel::Mdev, "1.440 мс"},
      {RunSummaryPanel::P50, "1.000 мс"},   {RunSummaryPanel::P95, "2.900 мс"},   {RunSummaryPanel::P99, "2.990 мс"},
      {RunSummaryPanel::Jitter, "2.880 мс"}, {RunSummaryPanel::TcpRetransmissions, "7"}};
  for (const auto& [figure, text] : shown) EXPECT_EQ(panel.figure(figure)->text().toStdString(), text);

  struct Case {
    int sent, answered;
    bool stopped;
    RunFailure startFailure;
    VerdictKind kind;
    const char* text;
  };
  const Case cases[] = {
      {4, 4, false, {}, VerdictKind::Passed, "Проверка пройдена"},
      {4, 3, false, {}, VerdictKind::PassedWithLoss, "Проверка пройдена, потеряно 1 из 4"},
      {4, 0, false, {}, VerdictKind::Failed, "Проверка не пройдена: ответа нет"},
      {0, 0, false, {}, VerdictKind::Failed, "Проверка не пройдена: запрос не отослан"},
      {0, 0, false, {"connect-failed", "Ошибка соединения 111", false}, VerdictKind::Failed,
       "Проверка не пройдена: Ошибка соединения 111"},
      {4, 4, true, {}, VerdictKind::Stopped, "Проверка остановлена"},
  };
  // An outcome with those figures, judged by the rule every front-end reads.
  const auto judged = [](const Case& c) {
    RunOutcome o;
    o.requestsSent = c.sent;
    o.answersAccepted = c.answered;
    for (int i = 0; i < c.sent; ++i) o.rounds.push_back({i + 1, 0, RoundResult::TimedOut, 0, -1});
    o.startFailed = !c.startFailure.empty();
    o.failure = c.startFailure;
    return judge(o);
  };
  for (const Case& c : cases) {
    RunSummary s;
    s.sent = c.sent;
    s.answered = c.answered;
    const RunVerdict verdict = verdictShown(judged(c), s, c.stopped);
    EXPECT_EQ(verdict.kind, c.kind) << c.text;
    EXPECT_EQ(verdict.text.toStdString(), c.text);
  }
  panel.showVerdict(verdictShown(judged(cases[1]), summary, false));
  EXPECT_EQ(panel.verdict()->text().toStdString(), "Проверка пройдена, потеряно 1 из 3");

  // With nothing answered there are no round trips to show.
  summary.answered = 0;
  summary.lossPercent = 100;
  summary.tcpRetransmissions = -1;  // not a TCP run
  panel.showFigures(summary);
  EXPECT_EQ(panel.figure(RunSummaryPanel::Loss)->text().toStdString(), "100 %");
  for (const auto figure : {RunSummaryPanel::Min, RunSummaryPanel::P99, RunSummaryPanel::Jitter,
                            RunSummaryPanel::TcpRetransmissions}) {
    EXPECT_EQ(panel.figure(figure)->text(), "—") << figure;
  }
}

TEST(SweepTable, ARowPerTypeFilledAsItsRunEnds) {
  ensureApplication();
  SweepTable table;
  ASSERT_EQ(table.rowCount(), 15);
  EXPECT_EQ(table.cell(0, SweepTable::Type).toStdString(), "ICMP");
  EXPECT_EQ(table.cell(14, SweepTable::Number), "6");
  EXPECT_EQ(table.cell(1, SweepTable::Verdict), "");
  table.showChecking(1);
  EXPECT_EQ(table.cell(1, SweepTable::Verdict).toStdString(), "проверка...");
  RunSummary summary;
  summary.sent = 3;
  summary.answered = 3;
  summary.medianUs = 250;
  table.showResult(1, summary, RunVerdict{VerdictKind::Passed, {}});
  const std::vector<const char*> row = {"IP-Клиент", "17", "3", "3", "0 %", "0.250 мс", "", "", "пройдена"};
  for (int column = 0; column < SweepTable::ColumnCount; ++column) {
    EXPECT_EQ(table.cell(1, static_cast<SweepTable::Column>(column)).toStdString(), row[column]);
  }
  table.showResult(2, RunSummary{3, 0, 100.0}, RunVerdict{verdictKind(Verdict::Fail), {}});
  EXPECT_EQ(table.cell(2, SweepTable::Median).toStdString(), "—");
  EXPECT_EQ(table.cell(2, SweepTable::Verdict).toStdString(), "не пройдена");
  table.showResult(3, RunSummary{4, 3, 25.0}, RunVerdict{verdictKind(Verdict::Loss), {}});
  EXPECT_EQ(table.cell(3, SweepTable::Verdict).toStdString(), "пройдена с потерями");
  table.resetRows();
  EXPECT_EQ(table.cell(1, SweepTable::Sent), "");

  // "MTU" shows only in a sweep that measures it; a type that then cannot run keeps its figure.
  EXPECT_TRUE(table.isColumnHidden(SweepTable::Mtu));
  table.resetRows(true);
  EXPECT_FALSE(table.isColumnHidden(SweepTable::Mtu));
  struct Measured {
    MtuVerdict verdict;
    std::optional<int> pathMtu;
    const char *cell, *tip;
  };
  const Measured measured[] = {{MtuVerdict::Honest, 1400, "1400", "путь сообщает MTU"},
                               {MtuVerdict::BlackHole, 1400, "1400 ЧД", "чёрная дыра MTU"},
                               {MtuVerdict::NoAnswer, std::nullopt, "—", "нет ответа"}};
  for (const Measured& m : measured) {
    MtuRow mtu;
    mtu.verdict = m.verdict;
    mtu.pathMtu = m.pathMtu;
    table.showMtu(3, mtu);
    EXPECT_EQ(table.cell(3, SweepTable::Mtu).toStdString(), m.cell);
    EXPECT_EQ(table.item(3, SweepTable::Mtu)->toolTip().toStdString(), m.tip);
  }
  table.showNotRun(3, QStringLiteral("нет права"));
  EXPECT_EQ(table.cell(3, SweepTable::Mtu).toStdString(), "—");
  EXPECT_EQ(table.cell(3, SweepTable::Sent).toStdString(), "—");
  MtuRow found;
  found.verdict = MtuVerdict::NoLimit;
  found.pathMtu = 1528;
  table.showMtu(4, found);
  table.showNotRun(4, QStringLiteral("нет права"));
  EXPECT_EQ(table.cell(4, SweepTable::Mtu).toStdString(), "1528");
  table.resetRows();
  EXPECT_TRUE(table.isColumnHidden(SweepTable::Mtu));
}

}  // namespace
}  // namespace connchk::client::ui

namespace connchk::server::ui {
namespace {

TEST(ServiceTable, StatesCountersAndTheRateOfTheLastSeconds) {
  connchk::testing::ensureApplication();
  ServerCounters counters;
  ServiceTable table(counters);
  ASSERT_EQ(table.rowCount(), 15);
  const std::vector<const char*> names = {"№1 (ICMP)", "№53 (ВЕЛТ-IP)", "№55 (TELM-IP)", "№56 (ВЕЛТ-IP RADM)",
                                          "№110 (ВЕЛТ-IP Поток 1)"};
  for (std::size_t i = 0; i < names.size(); ++i) EXPECT_EQ(table.cell(static_cast<int>(i), ServiceTable::Service).toStdString(), names[i]);
  EXPECT_EQ(table.cell(EchoUdpSlot, ServiceTable::Service).toStdString(), "IP-Клиент");
  EXPECT_EQ(table.cell(EchoTcpSlot, ServiceTable::Service).toStdString(), "TCP");
  EXPECT_EQ(table.cell(TerminalUdpSlot, ServiceTable::Service).toStdString(), "TELM-UDP");
  EXPECT_EQ(table.cell(0, ServiceTable::State).toStdString(), "запуск");

  const auto start = ServiceTable::Clock::now();
  table.sample(start);
  ServiceCounters& udp = counters.services[EchoUdpSlot];
  udp.state = ServiceState::Running;
  counters.services[EchoTcpSlot].setFailure("Ошибка bind 98");
  // 10 answers a second for 6 seconds, then a quiet stretch.
  for (int second = 1; second <= 6; ++second) {
    udp.answered += 10;
    table.sample(start + std::chrono::seconds(second));
  }
  udp.erroneous = 2;
  udp.receiveErrors = 1;
  udp.sendErrors = 3;
  table.sample(start + std::chrono::seconds(7));
  const std::vector<std::pair<ServiceTable::Column, const char*>> udpRow = {
      {ServiceTable::State, "работает"}, {ServiceTable::Answered, "60"}, {ServiceTable::Erroneous, "2"},
      {ServiceTable::Errors, "4"},       {ServiceTable::Rate, "8.0"}};  // 40 answers in the last 5 s
  for (const auto& [column, text] : udpRow) EXPECT_EQ(table.cell(EchoUdpSlot, column).toStdString(), text);
  EXPECT_EQ(table.cell(EchoTcpSlot, ServiceTable::State).toStdString(), "Ошибка bind 98");
  EXPECT_EQ(table.cell(EchoTcpSlot, ServiceTable::Rate).toStdString(), "0.0");
  for (int second = 8; second <= 13; ++second) table.sample(start + std::chrono::seconds(second));
  EXPECT_EQ(table.cell(EchoUdpSlot, ServiceTable::Rate).toStdString(), "0.0");
  EXPECT_EQ(table.cell(EchoUdpSlot, ServiceTable::Answered).toStdString(), "60");
}

}  // namespace
}  // namespace connchk::server::ui
