// The client's run control in-process: the button hooks, the count substitution, Stop, the
// refusals that come before anything starts, and the figures and pauses of a run (with short
// time-outs and pauses, which the run request carries).
#include "client/run_control.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "common/protocol.h"
#include "tests/support/kept_lines.h"
#include "tests/support/peers.h"
#include "tests/support/private_network.h"
#include "tests/support/program.h"

namespace connchk::client {
namespace {

using connchk::testing::Bytes;
using connchk::testing::echo;
using connchk::testing::Reply;
using connchk::testing::Replies;
using connchk::testing::UdpPeer;
using connchk::testing::withReplyMarker;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

class RunControlTest : public ::testing::Test {
 protected:
  RunControlTest() { log_.setView(&view); }
  ActivityLog& log() { return log_; }
  RunEvents hooks() {
    return {[this] { ++started; },
            [this](const RoundRecord& round, const RunSummary&) {
              std::lock_guard<std::mutex> hold(mutex);
              roundsSeen.push_back(round);
            },
            [this](const RunOutcome&) { ++restored; }};
  }

  std::atomic<int> started{0};
  std::atomic<int> restored{0};
  std::mutex mutex;
  std::vector<RoundRecord> roundsSeen;
  connchk::testing::KeptLines view;

 private:
  ActivityLog log_ = ActivityLog::atPath(LogStyle::Client, "/dev/null");
};

RunRequest udpEcho(std::int32_t count, int timeoutMs = 5000, int intervalMs = 1000) {
  RunRequest r;
  r.account = false;  // these runs are about the rounds
  r.count = count;
  r.timeoutMs = timeoutMs;
  r.intervalMs = intervalMs;
  return r;
}

std::int64_t unixMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// "number result error timed|-" for each round.
std::vector<std::string> described(const std::vector<RoundRecord>& rounds) {
  std::vector<std::string> out;
  for (const RoundRecord& r : rounds) {
    out.push_back(std::to_string(r.number) + " " + roundResultName(r.result) + " " + std::to_string(r.error) +
                  (r.roundTripUs >= 0 ? " timed" : " -"));
  }
  return out;
}

double secondsBetween(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

TEST_F(RunControlTest, ButtonsComeBackWhenARefusedConnectionEndsTheRun) {
  REQUIRE_PRIVATE_NETWORK();
  RunControl control(log(), hooks());
  RunRequest tcp;
  tcp.protocolNumber = 6;
  tcp.protocolIndex = 14;
  ASSERT_EQ(control.startRun(tcp), StartRefusal::None);
  EXPECT_EQ(started, 1);
  const RunOutcome outcome = control.waitForEnd();
  EXPECT_TRUE(outcome.startFailed);
  EXPECT_EQ(restored, 1);
  EXPECT_FALSE(control.running());
}

TEST_F(RunControlTest, InfiniteRunGoesOnUntilStopAndItsRequestStaysAsGiven) {
  REQUIRE_PRIVATE_NETWORK();
  UdpPeer server(EchoPort, [](const Bytes& r) { return connchk::testing::withReplyMarker(r); });
  RunControl control(log(), hooks());
  ASSERT_EQ(control.startRun(udpEcho(-1)), StartRefusal::None);
  ASSERT_TRUE(connchk::testing::eventually([this] {
    std::lock_guard<std::mutex> hold(mutex);
    return roundsSeen.size() >= 3;
  })) << "more rounds than a count of 2";
  EXPECT_EQ(control.startRun(udpEcho(1)), StartRefusal::AlreadyRunning) << "two workers never run at once";
  control.stopRun();
  const RunOutcome outcome = control.waitForEnd();
  EXPECT_GE(outcome.answersAccepted, 3);
  EXPECT_TRUE(outcome.stopped);
  EXPECT_EQ(control.lastRequest().count, -1);
  EXPECT_EQ(restored, 1);
}

TEST_F(RunControlTest, ANewRunIsNotStoppedByTheStopOfTheOneBefore) {
  REQUIRE_PRIVATE_NETWORK();
  UdpPeer server(EchoPort, [](const Bytes& r) { return connchk::testing::withReplyMarker(r); });
  RunControl control(log(), hooks());
  ASSERT_EQ(control.startRun(udpEcho(-1)), StartRefusal::None);
  ASSERT_TRUE(server.waitForCount(1, milliseconds(5000)));
  control.stopRun();
  control.waitForEnd();
  ASSERT_EQ(control.startRun(udpEcho(2)), StartRefusal::None);
  const RunOutcome second = control.waitForEnd();
  EXPECT_EQ(second.answersAccepted, 2);
}

TEST_F(RunControlTest, RefusesALongAddressBeforeAnythingStarts) {
  RunControl control(log(), hooks());
  RunRequest r;
  r.account = false;  // these runs are about the rounds
  r.address = std::string(256, 'a');
  EXPECT_EQ(control.startRun(r), StartRefusal::AddressTooLong);
  std::string cyrillic;
  for (int i = 0; i < 255; ++i) cyrillic += "я";
  r.address = cyrillic + "я";
  EXPECT_EQ(control.startRun(r), StartRefusal::AddressTooLong);
  EXPECT_EQ(started, 0);
  EXPECT_FALSE(control.running());
}

// Round 1 answered, round 2 not (time-out), round 3 an empty answer; then a closed port, where
// every receive fails. Every round reaches the outcome and the live hook alike.
TEST_F(RunControlTest, EveryRoundIsRecordedAsItEnds) {
  REQUIRE_PRIVATE_NETWORK();
  RunControl control(log(), hooks());
  const std::int64_t before = unixMicros();
  RunOutcome outcome;
  {
    std::atomic<int> requests{0};
    UdpPeer server(EchoPort, [&requests](const Bytes& r) -> std::optional<Bytes> {
      switch (requests++) {
        case 0: return withReplyMarker(r);
        case 1: return std::nullopt;
        default: return Bytes{};
      }
    });
    ASSERT_EQ(control.startRun(udpEcho(3, 400, 100)), StartRefusal::None);
    outcome = control.waitForEnd();
  }
  ASSERT_EQ(control.startRun(udpEcho(2, 400, 100)), StartRefusal::None);
  const RunOutcome refused = control.waitForEnd();
  const std::int64_t after = unixMicros();

  EXPECT_EQ(outcome.requestsSent, 3);
  EXPECT_EQ(outcome.answersAccepted, 1);
  EXPECT_FALSE(outcome.stopped);
  EXPECT_EQ(refused.requestsSent, 2);
  EXPECT_EQ(refused.answersAccepted, 0);
  std::vector<RoundRecord> all(outcome.rounds.begin(), outcome.rounds.end());
  all.insert(all.end(), refused.rounds.begin(), refused.rounds.end());
  const std::vector<std::string> expected = {"1 answered 0 timed", "2 timeout 0 -", "3 closed 0 -",
                                             "1 receive-error 111 -", "2 receive-error 111 -"};
  EXPECT_EQ(described(all), expected);
  for (const RoundRecord& round : all) {
    EXPECT_GE(round.sentAtUnixUs, before);
    EXPECT_LE(round.sentAtUnixUs, after);
  }
  EXPECT_LT(all[0].roundTripUs, 400000);
  EXPECT_GE(all[1].sentAtUnixUs - all[0].sentAtUnixUs, 100000) << "the pause came between";
  EXPECT_GE(all[2].sentAtUnixUs - all[1].sentAtUnixUs, 500000) << "time-out and pause";
  std::lock_guard<std::mutex> hold(mutex);
  EXPECT_EQ(described(roundsSeen), expected) << "the live hook saw the same rounds";
}

// A silent server: each time-out is followed by the pause, but the last round by nothing; an
// answered one-round run ends at once, whatever the pause.
TEST_F(RunControlTest, EveryRoundButTheLastIsFollowedByThePause) {
  REQUIRE_PRIVATE_NETWORK();
  RunControl control(log(), hooks());
  {
    UdpPeer server(EchoPort, connchk::testing::silent);
    const auto start = Clock::now();
    ASSERT_EQ(control.startRun(udpEcho(2, 300, 700)), StartRefusal::None);
    const RunOutcome outcome = control.waitForEnd();
    const double took = secondsBetween(start, Clock::now());
    ASSERT_EQ(outcome.rounds.size(), 2u);
    const auto got = server.received();
    ASSERT_EQ(got.size(), 2u);
    const double gap = secondsBetween(got[0].at, got[1].at);
    EXPECT_GE(gap, 0.95) << "time-out (0.3 s) and pause (0.7 s)";
    EXPECT_LT(gap, 1.6);
    EXPECT_GE(took, 1.25);
    EXPECT_LT(took, 1.9) << "a pause after the last round";
  }
  UdpPeer server(EchoPort, echo);
  const auto start = Clock::now();
  ASSERT_EQ(control.startRun(udpEcho(1, 5000, 3000)), StartRefusal::None);
  EXPECT_EQ(control.waitForEnd().answersAccepted, 1);
  EXPECT_LT(secondsBetween(start, Clock::now()), 1.5) << "a one-round check ends at once";
}

// The answer to request 1 comes after its round has timed out, while round 2 waits; round 2's own
// answer comes 300 ms after its request. The late one is passed over and never timed.
TEST_F(RunControlTest, ALateAnswerIsNotTakenForTheNextRound) {
  REQUIRE_PRIVATE_NETWORK();
  std::atomic<int> requests{0};
  Bytes first;
  UdpPeer server(EchoPort, Replies([&](const Bytes& request) {
    std::vector<Reply> replies;
    if (requests++ == 0) {
      first = request;
    } else {
      replies = {{withReplyMarker(first)}, {withReplyMarker(request), milliseconds(300)}};
    }
    return replies;
  }));
  RunControl control(log(), hooks());
  ASSERT_EQ(control.startRun(udpEcho(2, 800, 200)), StartRefusal::None);
  const RunOutcome outcome = control.waitForEnd();
  ASSERT_EQ(outcome.rounds.size(), 2u) << ::testing::PrintToString(view.lines());
  EXPECT_EQ(outcome.rounds[0].result, RoundResult::TimedOut);
  EXPECT_EQ(outcome.rounds[1].result, RoundResult::Answered);
  EXPECT_GE(outcome.rounds[1].roundTripUs, 290000) << "the late answer was taken for round 2's";
  EXPECT_EQ(outcome.answersAccepted, 1);
}

// The window's rule: a count below 1 (0, or text that is not a number) runs no round, yet the
// connection is made and its line logged.
TEST_F(RunControlTest, CountBelowOneRunsNoRoundButStillConnects) {
  REQUIRE_PRIVATE_NETWORK();
  UdpPeer server(EchoPort, echo);
  RunControl control(log(), hooks());
  ASSERT_EQ(control.startRun(udpEcho(parseCountText("abc"))), StartRefusal::None);
  const RunOutcome outcome = control.waitForEnd();
  EXPECT_EQ(outcome.requestsSent, 0);
  EXPECT_TRUE(outcome.rounds.empty());
  const auto lines = view.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("Соединение с 127.0.0.1, порт 87 (свой порт ", 0), 0u) << lines[0];
  EXPECT_TRUE(server.received().empty());
}

}  // namespace
}  // namespace connchk::client
