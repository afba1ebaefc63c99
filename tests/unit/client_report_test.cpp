// The figures an operator reads: the summary lines, the sweep's verdicts and matrix, the JSON
// documents, from outcomes made up here (the end-to-end tests take them from real runs).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "client/protocol_catalogue.h"
#include "client/report.h"
#include "client/sweep.h"

namespace connchk::client {
namespace {

// An outcome with one round per entry of `trips`: a round trip in us, or -1 for a time-out.
RunOutcome outcomeOf(const std::vector<std::int64_t>& trips, bool stopped = false) {
  RunOutcome o;
  o.stopped = stopped;
  for (const std::int64_t trip : trips) {
    RoundRecord r;
    r.number = static_cast<int>(o.rounds.size()) + 1;
    r.sentAtUnixUs = 1714554307123456 + r.number * 1000000LL;
    r.result = trip >= 0 ? RoundResult::Answered : RoundResult::TimedOut;
    r.roundTripUs = trip;
    o.rounds.push_back(r);
    ++o.requestsSent;
    if (trip >= 0) ++o.answersAccepted;
  }
  return o;
}

TEST(RunSummaryLines, CountsLossAndRoundTripsInMilliseconds) {
  struct Case {
    RunOutcome outcome;
    std::vector<std::string> lines;
  };
  RunOutcome failed;
  failed.startFailed = true;
  const std::vector<Case> cases = {
      {outcomeOf({123, -1, 789, -1, 456}),
       {"Итого: отослано 5, получено 3, потеряно 40%",
        "Время приема-передачи мин/сред/макс/откл: 0.123/0.456/0.789/0.272 мс"}},
      {outcomeOf({1500000, 2500000}), {"Итого: отослано 2, получено 2, потеряно 0%",
                                       "Время приема-передачи мин/сред/макс/откл: 1500.000/2000.000/2500.000/500.000 мс"}},
      {outcomeOf({-1, -1, -1}), {"Итого: отослано 3, получено 0, потеряно 100%"}},
      {outcomeOf({7, -1, -1}, true), {"Итого: отослано 3, получено 1, потеряно 66.7% (проверка остановлена)",
                                      "Время приема-передачи мин/сред/макс/откл: 0.007/0.007/0.007/0.000 мс"}},
      {RunOutcome{}, {}},
      {failed, {}},
  };
  for (const Case& c : cases) EXPECT_EQ(summaryLines(c.outcome), c.lines);
  EXPECT_EQ(lossText(100.0 / 3), "33.3");
  EXPECT_EQ(millisecondsText(0), "0.000");
  EXPECT_EQ(runExitStatus(outcomeOf({-1})), 1);
  EXPECT_EQ(runExitStatus(outcomeOf({-1, 5})), 0);
  EXPECT_EQ(runExitStatus(failed), 2);
}

TEST(SweepVerdicts, FromEachWayARunCanEnd) {
  RunOutcome failed;
  failed.startFailed = true;
  RunOutcome refused = outcomeOf({-1});
  refused.rounds[0].result = RoundResult::ReceiveError;
  refused.rounds[0].error = 111;
  struct Case {
    RunOutcome outcome;
    SweepVerdict verdict;
    std::string code;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {outcomeOf({-1, 40, -1}), SweepVerdict::Pass, "", ""},
      {outcomeOf({-1, -1}), SweepVerdict::Fail, "no-answer", "нет ответа"},
      {refused, SweepVerdict::Fail, "receive-error", "ошибка на приеме 111"},
      {failed, SweepVerdict::Fail, "not-started", "проверка не началась (причина в журнале)"},
      {outcomeOf({-1}, true), SweepVerdict::NotRun, "stopped", "проверка остановлена"},
      {outcomeOf({30}, true), SweepVerdict::Pass, "", ""},
  };
  for (const Case& c : cases) {
    const SweepRow row = judgeRun(1, c.outcome);
    EXPECT_EQ(row.verdict, c.verdict) << c.code;
    EXPECT_EQ(row.reasonCode, c.code);
    EXPECT_EQ(row.reason, c.reason);
  }

  SweepResult result;
  result.started = true;
  result.rows = {judgeRun(1, outcomeOf({5}))};
  EXPECT_EQ(result.exitStatus(), 0);
  result.rows.push_back(SweepRow{0, SweepVerdict::NotRun, "no-raw-right", "нет права", {}, {}, {}, {}});
  EXPECT_EQ(result.exitStatus(), 0) << "a type not run is not a failure";
  result.rows.push_back(judgeRun(14, failed));
  EXPECT_EQ(result.exitStatus(), 1);
  result.rows = {SweepRow{0, SweepVerdict::NotRun, "no-raw-right", "нет права", {}, {}, {}, {}}};
  EXPECT_EQ(result.exitStatus(), 2) << "nothing could run";
  EXPECT_EQ(SweepResult{}.exitStatus(), 2);
}

TEST(SweepMatrix, LinesUpItsColumnsForCyrillicTextToo) {
  SweepRow notRun{TerminalUdpIndex, SweepVerdict::NotRun, "port-855-taken", "порт 855 занят на этом хосте", {}, {}, {}, {}};
  SweepRow blocked = judgeRun(UdpEchoIndex, outcomeOf({-1, -1}));
  blocked.outcome.account.given = true;
  blocked.outcome.account.lostBack = 2;
  SweepRow passed = judgeRun(3, outcomeOf({100, 300, 200}));
  const auto lines = sweepMatrixLines({passed, blocked, notRun});
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0], "Итоги проверки по типам протоколов:");
  EXPECT_EQ(lines[1], "Тип протокола    №    Отослано  Получено  Потери  Медиана, мс  Туда / обратно  Итог");
  EXPECT_EQ(lines[2], "ВЕЛТ-IP Поток 1  110  3         3         0%      0.200        -               пройден");
  EXPECT_EQ(lines[3], "IP-Клиент        17   2         0         100%    -            0 / 2           не пройден: нет ответа");
  EXPECT_EQ(lines[4],
            "TELM-UDP         17   -         -         -       -            -               не проверен: порт 855 занят на этом хосте");
  EXPECT_EQ(lines[5], "Пройдено 1, не пройдено 1, не проверено 1");

  // Traced too: where each type stops, "*" where that was the server's answer.
  TypeTrace reached{3, TraceEnd::Reached, {}, {}, {}};
  reached.hops.push_back(TraceHop{1, HopAnswer::TimeExceeded, platform::Address::parse("198.51.100.1"), 10, "x"});
  reached.hops.push_back(TraceHop{2, HopAnswer::ServerAnswer, platform::Address::parse("192.0.2.1"), 20, "y"});
  TypeTrace silent{1, TraceEnd::Silence, {}, {}, {}};
  silent.hops.push_back(TraceHop{1, HopAnswer::TimeExceeded, platform::Address::parse("198.51.100.1"), 10, "x"});
  silent.hops.push_back(TraceHop{2, HopAnswer::Silent, std::nullopt, std::nullopt, ""});
  passed.trace = reached;
  blocked.trace = silent;
  const auto traced = sweepMatrixLines({passed, blocked, notRun});
  EXPECT_EQ(traced[1],
            "Тип протокола    №    Отослано  Получено  Потери  Медиана, мс  Туда / обратно  Последний узел  Итог");
  EXPECT_EQ(traced[2],
            "ВЕЛТ-IP Поток 1  110  3         3         0%      0.200        -               2 192.0.2.1 *   пройден");
  EXPECT_EQ(traced[3],
            "IP-Клиент        17   2         0         100%    -            0 / 2           1 198.51.100.1  не пройден: нет ответа");
  EXPECT_EQ(traced[4].find("TELM-UDP         17   -         -         -       -            -               -               "), 0u);
}

TEST(ReportJson, NullsWhereAFigureDoesNotExist) {
  RunRequest request;
  request.protocolIndex = TerminalUdpIndex;
  request.terminal = 7;
  RunOutcome outcome = outcomeOf({-1, 250});
  outcome.rounds[0].result = RoundResult::ReceiveError;
  outcome.rounds[0].error = 111;
  const auto run = runJson(request, outcome, "ignored: the run started");
  EXPECT_EQ(run["parameters"]["short_name"], "telm-udp");
  EXPECT_EQ(run["parameters"]["terminal"], 7);
  EXPECT_TRUE(run["failure"].is_null());
  EXPECT_EQ(run["rounds"][0]["error"], 111);
  EXPECT_TRUE(run["rounds"][0]["rtt_us"].is_null());
  EXPECT_EQ(run["rounds"][1]["sent_at"], "2024-05-01T09:05:09.123456Z");
  EXPECT_TRUE(run["rounds"][1]["error"].is_null());
  EXPECT_EQ(run["summary"]["rtt_us"]["median"], 250);

  RunOutcome failed;
  failed.startFailed = true;
  request.protocolIndex = UdpEchoIndex;
  const auto none = runJson(request, failed, "Ошибка соединения 111");
  EXPECT_EQ(none["failure"], "Ошибка соединения 111");
  EXPECT_TRUE(none["parameters"]["terminal"].is_null()) << "only the terminal exchange has a terminal number";
  EXPECT_TRUE(none["summary"]["rtt_us"].is_null());
  EXPECT_EQ(none["exit_status"], 2);
}

}  // namespace
}  // namespace connchk::client
