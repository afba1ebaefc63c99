// The figures an operator reads: the summary lines, the sweep's verdicts and matrix, the JSON
// documents, from outcomes made up here (the end-to-end tests take them from real runs).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "client/protocol_catalogue.h"
#include "client/report.h"
#include "client/sweep.h"
#include "client/test_skeleton.h"
#include "tests/support/program.h"

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
  o.judgement = judge(o);
  return o;
}

// `o` with its last request's wait ended by Stop.
RunOutcome cutShort(RunOutcome o) {
  o.rounds.back().result = RoundResult::Stopped;
  o.requestsCutShort = 1;
  o.judgement = judge(o);
  return o;
}

// An outcome that ended before its first round, for `why`.
RunOutcome failedStart(RunFailure why) {
  RunOutcome o;
  o.startFailed = true;
  o.failure = std::move(why);
  o.judgement = judge(o);
  return o;
}

// An outcome whose only round ended as `result` with `error`.
RunOutcome endedBy(RoundResult result, int error = 0) {
  RunOutcome o = outcomeOf({-1});
  o.rounds[0].result = result;
  o.rounds[0].error = error;
  if (result == RoundResult::SendError) o.requestsSent = 0;
  o.judgement = judge(o);
  return o;
}

RunOutcome withExtras(RunOutcome o, int duplicates, int late, int retransmissions) {
  o.duplicates = duplicates;
  o.lateAnswers = late;
  o.tcpRetransmissions = retransmissions;
  return o;
}

TEST(RunSummaryLines, CountsLossAndRoundTripsInMilliseconds) {
  struct Case {
    RunOutcome outcome;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      {outcomeOf({123, -1, 789, -1, 456}),
       {"Итого: отослано 5, получено 3, потеряно 40%",
        "Время приема-передачи мин/сред/макс/откл: 0.123/0.456/0.789/0.272 мс",
        "Процентили p50/p95/p99: 0.456/0.789/0.789 мс, джиттер 0.500 мс"}},
      {outcomeOf({1500000, 2500000}), {"Итого: отослано 2, получено 2, потеряно 0%",
                                       "Время приема-передачи мин/сред/макс/откл: 1500.000/2000.000/2500.000/500.000 мс",
                                       "Процентили p50/p95/p99: 2000.000/2500.000/2500.000 мс, джиттер 1000.000 мс"}},
      {outcomeOf({-1, -1, -1}), {"Итого: отослано 3, получено 0, потеряно 100%"}},
      {outcomeOf({7, -1, -1}, true), {"Итого: отослано 3, получено 1, потеряно 66.7% (проверка остановлена)",
                                      "Время приема-передачи мин/сред/макс/откл: 0.007/0.007/0.007/0.000 мс",
                                      "Процентили p50/p95/p99: 0.007/0.007/0.007 мс, джиттер 0.000 мс"}},
      {withExtras(outcomeOf({-1, 100, 300}), 2, 1, 3),
       {"Итого: отослано 3, получено 2, +2 дубликатов, поздних ответов 1, потеряно 33.3%",
        "Время приема-передачи мин/сред/макс/откл: 0.100/0.200/0.300/0.100 мс",
        "Процентили p50/p95/p99: 0.200/0.300/0.300 мс, джиттер 0.200 мс", "Повторных передач TCP: 3"}},
      {RunOutcome{}, {}},
      {failedStart({"unresolved", "Имя «x» не найдено", true}), {}},
  };
  for (const Case& c : cases) EXPECT_EQ(summaryLines(c.outcome), c.lines);
  EXPECT_EQ(lossText(100.0 / 3), "33.3");
  EXPECT_EQ(millisecondsText(0), "0.000");
}

// The one rule every front-end reads: verdict, reason and exit status from each way a run can end.
TEST(RunJudgement, FromEachWayARunCanEnd) {
  struct Case {
    const char* what;
    RunOutcome outcome;
    Verdict verdict;
    std::string code;
    int exitStatus;
  };
  const std::vector<Case> cases = {
      {"every answer", outcomeOf({40, 50}), Verdict::Pass, "", 0},
      {"one of three lost", outcomeOf({-1, 40, -1}), Verdict::Loss, "", 0},
      {"stopped after an answer", outcomeOf({30}, true), Verdict::Pass, "", 0},
      {"stopped while waiting", cutShort(outcomeOf({30, -1}, true)), Verdict::Pass, "", 0},
      {"no answer", outcomeOf({-1, -1}), Verdict::Fail, "no-answer", 1},
      {"stopped during the first wait", cutShort(outcomeOf({-1}, true)), Verdict::NotRun, "stopped", 1},
      {"stopped after a time-out", cutShort(outcomeOf({-1, -1}, true)), Verdict::Fail, "no-answer", 1},
      {"no round", outcomeOf({}), Verdict::Fail, "no-request", 1},
      {"refused", endedBy(RoundResult::ReceiveError, 111), Verdict::Fail, "receive-error", 1},
      {"unreachable", endedBy(RoundResult::ReceiveError, 113), Verdict::Fail, "receive-error", 1},
      {"closed", endedBy(RoundResult::Closed), Verdict::Fail, "closed", 1},
      {"send refused by this host", endedBy(RoundResult::SendError, 1), Verdict::Fail, "send-error", 2},
      {"send without a route", endedBy(RoundResult::SendError, 101), Verdict::Fail, "send-error", 1},
      {"connect timed out", failedStart({"connect-timeout", "Ошибка соединения 110", false}), Verdict::Fail,
       "connect-timeout", 1},
      {"unresolved", failedStart({"unresolved", "Имя «x» не найдено", true}), Verdict::Fail, "unresolved", 2},
      {"no right", failedStart({"no-raw-right", "Нет права", true}), Verdict::Fail, "no-raw-right", 2},
  };
  for (const Case& c : cases) {
    const Judgement& j = c.outcome.judgement;
    EXPECT_EQ(j.verdict, c.verdict) << c.what;
    EXPECT_EQ(j.reason.code, c.code) << c.what;
    EXPECT_EQ(j.exitStatus, c.exitStatus) << c.what;
    EXPECT_EQ(runExitStatus(c.outcome), c.exitStatus) << c.what;
  }
  EXPECT_EQ(endedBy(RoundResult::ReceiveError, 111).judgement.reason.text, "ошибка на приеме 111");
}

TEST(RunJudgement, MaxLossFailsARunThatLostMore) {
  const RunOutcome quarter = outcomeOf({10, 10, 10, -1});  // 25 % lost
  struct Case {
    double maxLoss;
    Verdict verdict;
    int exitStatus;
  };
  for (const Case& c : {Case{100, Verdict::Loss, 0}, Case{25, Verdict::Loss, 0}, Case{10, Verdict::Fail, 1},
                        Case{0, Verdict::Fail, 1}}) {
    const Judgement j = judge(quarter, c.maxLoss);
    EXPECT_EQ(j.verdict, c.verdict) << c.maxLoss;
    EXPECT_EQ(j.exitStatus, c.exitStatus) << c.maxLoss;
  }
  EXPECT_EQ(judge(quarter, 10).reason.text, "потеряно 25%, допустимо 10%");
  EXPECT_EQ(judge(outcomeOf({10, 10}), 0).verdict, Verdict::Pass) << "no loss is within any limit";
}

TEST(SweepRows, TakeTheRunsJudgementAndGiveTheExitStatus) {
  const SweepRow connect = rowOfRun(TcpEchoIndex, failedStart({"connect-timeout", "Ошибка соединения 110", false}));
  EXPECT_EQ(connect.verdict, Verdict::Fail);
  EXPECT_EQ(connect.reasonCode, "connect-timeout");
  EXPECT_EQ(connect.reason, "Ошибка соединения 110");

  const SweepRow noRight{0, Verdict::NotRun, "no-raw-right", "нет права", {}, {}, {}, {}};
  SweepResult result;
  result.started = true;
  result.rows = {rowOfRun(1, outcomeOf({5}))};
  EXPECT_EQ(result.exitStatus(), 0);
  result.rows.push_back(noRight);
  EXPECT_EQ(result.exitStatus(), 0) << "a type not run is not a failure";
  result.rows.push_back(rowOfRun(3, outcomeOf({5, -1})));
  EXPECT_EQ(result.exitStatus(), 0) << "a loss is not a failure";
  result.rows.push_back(connect);
  EXPECT_EQ(result.exitStatus(), 1);
  result.rows = {noRight};
  EXPECT_EQ(result.exitStatus(), 2) << "nothing could run";
  EXPECT_EQ(SweepResult{}.exitStatus(), 2);
}

TEST(SweepMatrix, LinesUpItsColumnsForCyrillicTextToo) {
  SweepRow notRun{TerminalUdpIndex, Verdict::NotRun, "port-855-taken", "порт 855 занят на этом хосте", {}, {}, {}, {}};
  SweepRow blocked = rowOfRun(UdpEchoIndex, outcomeOf({-1, -1}));
  blocked.outcome.account.given = true;
  blocked.outcome.account.lostBack = 2;
  SweepRow passed = rowOfRun(3, outcomeOf({100, 300, 200}));
  SweepRow lossy = rowOfRun(4, outcomeOf({100, -1, 200, 100}));
  const auto lines = sweepMatrixLines({passed, blocked, notRun, lossy});
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[0], "Итоги проверки по типам протоколов:");
  EXPECT_EQ(lines[1], "Тип протокола    №    Отослано  Получено  Потери  Медиана, мс  Туда / обратно  Итог");
  EXPECT_EQ(lines[2], "ВЕЛТ-IP Поток 1  110  3         3         0%      0.200        -               пройден");
  EXPECT_EQ(lines[3], "IP-Клиент        17   2         0         100%    -            0 / 2           не пройден: нет ответа");
  EXPECT_EQ(lines[4],
            "TELM-UDP         17   -         -         -       -            -               не проверен: порт 855 занят на этом хосте");
  EXPECT_EQ(lines[5], "ВЕЛТ-IP Поток 2  111  4         3         25%     0.100        -               пройдена с потерями");
  EXPECT_EQ(lines[6], "Пройдено 2 (с потерями 1), не пройдено 1, не проверено 1");

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
  outcome.judgement = judge(outcome);
  const auto run = runJson(request, outcome);
  EXPECT_EQ(run["parameters"]["short_name"], "telm-udp");
  EXPECT_EQ(run["parameters"]["terminal"], 7);
  EXPECT_TRUE(run["failure"].is_null());
  EXPECT_EQ(run["rounds"][0]["error"], 111);
  EXPECT_TRUE(run["rounds"][0]["rtt_us"].is_null());
  EXPECT_EQ(run["rounds"][1]["sent_at"], "2024-05-01T09:05:09.123456Z");
  EXPECT_TRUE(run["rounds"][1]["error"].is_null());
  EXPECT_EQ(run["summary"]["rtt_us"]["median"], 250);
  EXPECT_EQ(run["summary"]["verdict"], "loss");
  EXPECT_TRUE(run["summary"]["reason_code"].is_null());

  request.protocolIndex = UdpEchoIndex;
  const auto none = runJson(request, failedStart({"connect-failed", "Ошибка соединения 111", false}));
  EXPECT_EQ(none["failure"], "Ошибка соединения 111");
  EXPECT_EQ(none["summary"]["verdict"], "fail");
  EXPECT_EQ(none["summary"]["reason_code"], "connect-failed");
  EXPECT_TRUE(none["parameters"]["terminal"].is_null()) << "only the terminal exchange has a terminal number";
  EXPECT_TRUE(none["summary"]["rtt_us"].is_null());
  EXPECT_EQ(none["exit_status"], 1) << "a refused connection is the path's fault";
}

}  // namespace
}  // namespace connchk::client

namespace connchk::client {
namespace {

// An endless run keeps its newest rounds only, and its figures still count every round: the
// extremes of the dropped ones, the percentiles within their 1 % classes.
TEST(RunFigures, AnEndlessRunKeepsItsNewestRoundsAndCountsThemAll) {
  RunOutcome o;
  std::vector<std::int64_t> all;
  for (int i = 0; i < 10000; ++i) {
    const std::int64_t trip = i == 0 ? 5 : 1000 + (i * 7919) % 9000;  // the smallest one comes first
    all.push_back(trip);
    o.record(RoundRecord{i + 1, 0, RoundResult::Answered, 0, trip, static_cast<std::uint64_t>(i + 1)});
  }
  o.requestsSent = o.answersAccepted = 10000;
  EXPECT_EQ(o.rounds.size(), KeptRounds);
  EXPECT_EQ(o.roundsDropped, 10000 - static_cast<int>(KeptRounds));
  EXPECT_EQ(o.rounds.front().number, 10000 - static_cast<int>(KeptRounds) + 1) << "the newest are kept";

  const RunSummary s = summarize(o);
  EXPECT_EQ(s.answered, 10000);
  EXPECT_EQ(s.minUs, 5) << "from a round no longer kept";
  std::sort(all.begin(), all.end());
  for (const auto& [got, fraction] : {std::pair{s.medianUs, 0.5}, {s.p95Us, 0.95}, {s.p99Us, 0.99}}) {
    const auto exact = static_cast<double>(all[static_cast<std::size_t>(fraction * 10000) - 1]);
    EXPECT_NEAR(static_cast<double>(got), exact, exact * 0.011) << fraction;
  }
  EXPECT_GT(s.jitterUs, 0);
}

// Answers passed over in a later wait: a second answer to an answered request is a duplicate, the
// first to a request that timed out is late (a second one a duplicate), a stranger's is nothing.
TEST(RunFigures, StrayAnswersAreDuplicatesOrLate) {
  testing::ScratchFolder folder;
  ActivityLog log = ActivityLog::atPath(LogStyle::Client, folder.path + "/client_log.txt");
  const platform::StopEvent stop;
  const RunRequest request;
  RunContext run(request, log, stop);
  run.beginRound();
  const std::uint64_t answered = run.takeSendTime();
  run.answerAccepted("IP-Клиент", MonotonicClock::now());
  run.beginRound();
  const std::uint64_t lost = run.takeSendTime();
  run.roundWithoutAnswer(RoundResult::TimedOut);

  run.strayAnswer(answered);
  run.strayAnswer(lost);
  run.strayAnswer(lost);
  run.strayAnswer(lost + 12345);
  run.strayAnswer(0);
  EXPECT_EQ(run.outcome.duplicates, 2);
  EXPECT_EQ(run.outcome.lateAnswers, 1);
  EXPECT_EQ(summarize(run.outcome).answered, 1) << "nothing counted twice";
}

}  // namespace
}  // namespace connchk::client
