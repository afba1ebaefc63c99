// The real client program's UDP and TCP echo runs against peers on the test's own loopback.
#include <signal.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <regex>
#include <thread>
#include <string>
#include <vector>

#include "common/cp1251.h"
#include "common/protocol.h"
#include "tests/support/peers.h"
#include "tests/support/private_network.h"
#include "tests/support/program.h"

namespace connchk::testing {
namespace {

using std::chrono::milliseconds;
using Lines = std::vector<std::string>;

constexpr const char* Sent = "Отослан запрос к серверу";
constexpr const char* Answered = "Получен ответ от сервера";
constexpr const char* TimedOut = "Превышено время ожидания ответа";

constexpr std::int64_t OneHour = 36'000'000'000LL;  // in 100-ns units
constexpr milliseconds Held(300);                   // how long a peer holds back the real answer

// The client's lines without their time prefixes.
Lines clientLines(const Program& client) { return withoutTimePrefixes(client.outputLines()); }

::testing::AssertionResult matches(const std::string& line, const std::string& pattern) {
  if (std::regex_match(line, std::regex(pattern))) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "'" << line << "' does not match '" << pattern << "'";
}

double secondsBetween(const Received& a, const Received& b) {
  return std::chrono::duration<double>(b.at - a.at).count();
}

// Every round was timed from the answer held back, not from anything that came before it.
::testing::AssertionResult allHeldBack(const std::vector<int>& tripsMs) {
  for (const int trip : tripsMs) {
    if (trip < Held.count() - 10 || trip > 2000) return ::testing::AssertionFailure() << "a round trip of " << trip << " ms";
  }
  return ::testing::AssertionSuccess();
}

// Started with stdout closed, the client runs as ever: one request goes out and nothing else
// reaches the peer, it ends with 0, and its log file has the run.
TEST(ClientEcho, AClosedStdoutCostsTheRunNothing) {
  REQUIRE_PRIVATE_NETWORK();
  UdpPeer server(EchoPort, echo);
  Program client(CLIENT_PROGRAM);
  client.startThrough({"sh", "-c", "exec \"$0\" \"$@\" >&-"}, {"--console", "--no-account", "127.0.0.1"});
  EXPECT_EQ(client.wait(), 0) << client.errors();
  EXPECT_EQ(server.received().size(), 1u);
  EXPECT_NE(fromWindows1251(client.logBytes("client_log.txt")).find("Итого: отослано 1, получено 1"), std::string::npos);
}

TEST(ClientEcho, UdpAnswersAreTimedAndLoggedInOrder) {
  REQUIRE_PRIVATE_NETWORK();
  UdpPeer server(EchoPort, echo);
  Program client(CLIENT_PROGRAM);
  ASSERT_EQ(client.run({"--console", "--no-account", "--count", "2", "127.0.0.1"}), 0) << client.errors();

  const Lines lines = clientLines(client);
  ASSERT_EQ(lines.size(), 10u) << client.output();
  EXPECT_TRUE(matches(lines[0], R"(Соединение с 127\.0\.0\.1, порт 87 \(свой порт \d+\))"));
  EXPECT_EQ(lines[7], "Итого: отослано 2, получено 2, потеряно 0%");
  EXPECT_TRUE(matches(lines[8], R"(Время приема-передачи мин/сред/макс/откл: (\d+\.\d\d\d/){3}\d+\.\d\d\d мс)"));
  EXPECT_TRUE(matches(lines[9], R"(Процентили p50/p95/p99: (\d+\.\d\d\d/){2}\d+\.\d\d\d мс, джиттер \d+\.\d\d\d мс)"));
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(lines[1 + round * 3], Sent);
    EXPECT_EQ(lines[2 + round * 3], Answered);
    EXPECT_TRUE(matches(lines[3 + round * 3], R"(Протокол IP-Клиент\. Время приема-передачи: 0:00\.\d\d\d)"));
  }
  const auto requests = server.received();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].bytes.size(), 32u);
  EXPECT_TRUE(hasMarker(requests[0].bytes.data(), 32, 8, RequestMarker));
  EXPECT_GE(secondsBetween(requests[0], requests[1]), 0.95) << "one second of pause after an answer";

  // The file holds the same lines, with their prefixes, in Windows-1251, each ending CR LF.
  const std::string file = client.logBytes("client_log.txt");
  EXPECT_EQ(fromWindows1251(file), [&] {
    std::string expected;
    for (const auto& line : client.outputLines()) expected += line + "\r\n";
    return expected;
  }());
  EXPECT_NE(file.find(toWindows1251(Answered)), std::string::npos);
}

TEST(ClientEcho, TcpAnswersAreTimedOverOneConnection) {
  REQUIRE_PRIVATE_NETWORK();
  TcpPeer server(EchoPort, echo);
  Program client(CLIENT_PROGRAM);
  ASSERT_EQ(client.run({"--console", "--no-account", "--protocol", "TCP (порт 87)", "--count", "2", "--size", "100"}), 0)
      << client.errors();
  const Lines lines = clientLines(client);
  ASSERT_EQ(lines.size(), 10u) << client.output();  // the rounds, then the three summary lines
  EXPECT_TRUE(matches(lines[0], R"(Соединение с 127\.0\.0\.1, порт 87 \(свой порт \d+\))"));
  EXPECT_EQ(lines[4], Sent);
  EXPECT_EQ(lines[5], Answered);
  EXPECT_TRUE(matches(lines[6], R"(Протокол TCP\. Время приема-передачи: 0:00\.\d\d\d)"));
  const auto requests = server.received();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].bytes.size(), 100u);
  EXPECT_EQ(requests[0].source.port(), requests[1].source.port()) << "both rounds use one connection";
}

TEST(ClientEcho, SilentUdpPeerTimesOutAndTheNextRequestFollowsThePause) {
  REQUIRE_PRIVATE_NETWORK();
  UdpPeer server(EchoPort, silent);
  Program client(CLIENT_PROGRAM);
  EXPECT_EQ(client.run({"--console", "--no-account", "--count", "2"}), 1) << "no answer was accepted";
  const Lines lines = clientLines(client);
  ASSERT_EQ(lines.size(), 6u) << client.output();
  EXPECT_EQ(lines[1], Sent);
  EXPECT_EQ(lines[2], TimedOut);
  EXPECT_EQ(lines[3], Sent);
  EXPECT_EQ(lines[4], TimedOut);
  EXPECT_EQ(lines[5], "Итого: отослано 2, получено 0, потеряно 100%");
  const auto requests = server.received();
  ASSERT_EQ(requests.size(), 2u);
  const double gap = secondsBetween(requests[0], requests[1]);
  EXPECT_GE(gap, 5.9) << "five seconds of waiting, then the pause";
  EXPECT_LT(gap, 6.8);
}

// Round by round, what comes before the real answer, which the peer holds back 300 ms: none of it
// may end the wait or be timed.
TEST(ClientEcho, UdpTakesOnlyTheAnswerThatCarriesItsRequestsSendTime) {
  REQUIRE_PRIVATE_NETWORK();
  UdpSender otherPort("127.0.0.1", EchoPort + 1);
  UdpSender otherHost("127.0.0.2", EchoPort);
  std::atomic<int> round{0};
  Bytes previous;
  std::unique_ptr<UdpPeer> server;
  server = std::make_unique<UdpPeer>(EchoPort, Replies([&](const Bytes& request) {
    const Bytes answer = withReplyMarker(request);
    std::vector<Reply> before;
    switch (round++) {
      case 0:  // a duplicated answer: the first copy is taken, the second waits for round 2
        previous = answer;
        return std::vector<Reply>{{answer}, {answer, Held}};
      case 1:  // forged send times (an hour ahead, an hour back, zero), the bare request, a cut answer
        before = {{withSendTimeMoved(answer, OneHour)}, {withSendTimeMoved(answer, -OneHour)},
                  {withSendTimeZero(answer)}, {request}, {Bytes(answer.begin(), answer.begin() + 19)}};
        break;
      case 2:  // the answer to round 2 again, late
        before = {{previous}};
        break;
      default: {  // the very answer, from another port of the server's address and from another address
        const platform::Address client = server->received().back().source;
        otherPort.send(answer, client);
        otherHost.send(answer, client);
      }
    }
    previous = answer;
    before.push_back({answer, Held});
    return before;
  }));
  Program client(CLIENT_PROGRAM);
  ASSERT_EQ(client.run({"--console", "--no-account", "--count", "4"}), 0) << client.output();
  EXPECT_EQ(occurrences(client.output(), Sent), 4);
  EXPECT_EQ(occurrences(client.output(), Answered), 4) << client.output();
  const auto trips = roundTripsMs(client.outputLines());
  ASSERT_EQ(trips.size(), 4u);
  EXPECT_TRUE(allHeldBack({trips[1], trips[2], trips[3]})) << client.output();
  EXPECT_EQ(server->received().size(), 4u);
}

// Round 1: the answer in three pieces 300 ms apart, the first cut before its marker ends, the last
// followed by bytes of no answer; it is timed to its last byte. Round 2: the answer twice over. Round 3: round 2's answer again,
// then its own 300 ms later. Nothing left over is read as an answer.
TEST(ClientEcho, TcpReadsTheAnswerAsAStreamAndDropsWhatIsLeftOver) {
  REQUIRE_PRIVATE_NETWORK();
  std::atomic<int> round{0};
  Bytes previous;
  TcpPeer server(EchoPort, Replies([&](const Bytes& request) {
    const Bytes answer = withReplyMarker(request);
    std::vector<Reply> replies;
    switch (round++) {
      case 0: {
        Bytes rest(answer.begin() + 60, answer.end());
        rest.insert(rest.end(), 10, 0xEE);
        replies = {{Bytes(answer.begin(), answer.begin() + 15)}, {Bytes(answer.begin() + 15, answer.begin() + 60), Held},
                   {rest, Held}};
        break;
      }
      case 1: {
        Bytes twice = answer;
        twice.insert(twice.end(), answer.begin(), answer.end());
        replies = {{twice}};
        break;
      }
      default:
        replies = {{previous}, {answer, Held}};
    }
    previous = answer;
    return replies;
  }));
  Program client(CLIENT_PROGRAM);
  ASSERT_EQ(client.run({"--console", "--no-account", "--protocol", "TCP (порт 87)", "--count", "3", "--size", "100"}), 0)
      << client.output();
  EXPECT_EQ(occurrences(client.output(), Answered), 3) << client.output();
  const auto trips = roundTripsMs(client.outputLines());
  ASSERT_EQ(trips.size(), 3u);
  EXPECT_GE(trips[0], 2 * Held.count() - 10) << "the answer was taken before its last piece";
  EXPECT_TRUE(allHeldBack({trips[0], trips[2]})) << client.output();
  const auto requests = server.received();
  ASSERT_EQ(requests.size(), 3u);
  for (const auto& r : requests) EXPECT_EQ(r.bytes.size(), 100u);
}

TEST(ClientEcho, SizeTwelveSendsTwentyBytes) {
  REQUIRE_PRIVATE_NETWORK();
  UdpPeer server(EchoPort, echo);
  Program client(CLIENT_PROGRAM);
  ASSERT_EQ(client.run({"--console", "--no-account", "--size", "12"}), 0);
  const auto requests = server.received();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].bytes.size(), 20u);
}

TEST(ClientEcho, RefusedTcpConnectionEndsTheRunAtOnce) {
  REQUIRE_PRIVATE_NETWORK();
  Program client(CLIENT_PROGRAM);
  EXPECT_EQ(client.run({"--console", "--no-account", "--protocol", "14"}, milliseconds(3000)), 1) << "the path's fault";
  EXPECT_EQ(clientLines(client), Lines{"Ошибка соединения 111"});
}

TEST(ClientEcho, UnknownHostIsReportedAndNothingIsSent) {
  REQUIRE_PRIVATE_NETWORK();
  UdpPeer server(EchoPort, echo);
  Program client(CLIENT_PROGRAM);
  EXPECT_EQ(client.run({"--console", "--no-account", "no-such-host.invalid"}, milliseconds(10000)), 2);
  const Lines lines = clientLines(client);
  ASSERT_EQ(lines.size(), 2u) << client.output();
  EXPECT_EQ(lines[0], "Невозможно определить адрес ВЕЛТ-IP для подключения");
  EXPECT_NE(lines[1].find("«no-such-host.invalid»"), std::string::npos) << "the input and the reason";
  EXPECT_TRUE(server.received().empty());
}

TEST(ClientEcho, BadOptionsAreRefusedBeforeAnythingIsSent) {
  REQUIRE_PRIVATE_NETWORK();
  UdpPeer server(EchoPort, echo);
  const std::vector<std::pair<std::vector<std::string>, std::string>> bad = {
      {{"--size", "1501"}, "--size"},   {{"--terminal", "1000"}, "--terminal"},
      {{std::string(256, 'x')}, "255"}, {{"--count", "abc"}, "--count"},
      {{"--count", "0"}, "--count"},    {{"--count", "-5"}, "--count"},
      {{"--count", "3x"}, "--count"},   {{"--count", "-1abc"}, "--count"},
      {{"--count", ""}, "--count"},     {{"--count=Бесконечность"}, "--count"}};
  for (const auto& [options, named] : bad) {
    std::vector<std::string> args{"--console", "--no-account"};
    args.insert(args.end(), options.begin(), options.end());
    Program client(CLIENT_PROGRAM);
    EXPECT_EQ(client.run(args), 2) << options[0];
    EXPECT_TRUE(client.output().empty());
    EXPECT_EQ(client.errors().rfind("client: ", 0), 0u) << client.errors();
    EXPECT_NE(client.errors().find(named), std::string::npos) << client.errors();
  }
  EXPECT_TRUE(server.received().empty());
}

// Without end, in any letter case, against a port where nothing listens: every refused round is
// followed by the pause, so three seconds send at most four requests.
TEST(ClientEcho, ClosedPortWithoutEndSendsNoFaster) {
  REQUIRE_PRIVATE_NETWORK();
  Program client(CLIENT_PROGRAM);
  client.start({"--console", "--no-account", "--count", "бЕСКОНЕЧНО"});
  std::this_thread::sleep_for(milliseconds(3000));
  client.signal(SIGINT);
  EXPECT_EQ(client.wait(milliseconds(1500)), 1);
  const int sent = occurrences(client.output(), Sent);
  EXPECT_GE(sent, 2) << client.output();
  EXPECT_LE(sent, 4) << client.output();
  EXPECT_EQ(occurrences(client.output(), "Возникла ошибка на приеме 111"), sent);
  EXPECT_LT(client.logBytes("client_log.txt").size(), 1000u);
}

// A server whose port drops every connection request: Ctrl-C ends the wait at once; without it
// the connection is given up after five seconds.
TEST(ClientEcho, TcpConnectIntoABlackHoleEndsOnCtrlCOrAfterFiveSeconds) {
  REQUIRE_PRIVATE_NETWORK();
  TcpBlackHole hole(EchoPort);
  const std::vector<std::string> args = {"--console", "--no-account", "--protocol", "TCP (порт 87)"};
  Program stopped(CLIENT_PROGRAM);
  stopped.start(args);
  std::this_thread::sleep_for(milliseconds(1000));
  const auto interrupted = std::chrono::steady_clock::now();
  stopped.signal(SIGINT);
  EXPECT_EQ(stopped.wait(milliseconds(3000)), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - interrupted, milliseconds(1000));
  EXPECT_TRUE(stopped.output().empty()) << stopped.output();

  Program waited(CLIENT_PROGRAM);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(waited.run(args), 1) << "a connection that timed out is the path's fault";
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(took, 4.9);
  EXPECT_LT(took, 7.0);
  EXPECT_EQ(clientLines(waited), Lines{"Ошибка соединения 110"});
}

TEST(ClientEcho, CtrlCDuringThePauseEndsTheRunWithoutAnotherRequest) {
  REQUIRE_PRIVATE_NETWORK();
  UdpPeer server(EchoPort, echo);
  Program client(CLIENT_PROGRAM);
  client.start({"--console", "--no-account", "--count", "Бесконечно"});
  ASSERT_TRUE(client.waitForOutput("Время приема-передачи"));
  client.signal(SIGINT);
  EXPECT_EQ(client.wait(milliseconds(3000)), 0) << "the run ends after the pause, with its answer counted";
  EXPECT_EQ(server.received().size(), 1u);
  EXPECT_EQ(occurrences(client.output(), Sent), 1);
}

TEST(ClientEcho, CtrlCDuringALongWaitEndsItAtOnceWithTheSummary) {
  REQUIRE_PRIVATE_NETWORK();
  UdpPeer server(EchoPort, silent);
  Program client(CLIENT_PROGRAM);
  client.start({"--console", "--no-account", "--count", "-1", "-W", "10"});
  ASSERT_TRUE(client.waitForOutput(Sent));
  std::this_thread::sleep_for(milliseconds(1000));
  const auto before = std::chrono::steady_clock::now();
  client.signal(SIGINT);
  EXPECT_EQ(client.wait(milliseconds(3000)), 1) << "no answer came";
  EXPECT_LT(std::chrono::steady_clock::now() - before, milliseconds(1000)) << "it does not wait for the time-out";
  EXPECT_NE(client.output().find("Итого: отослано 1, получено 0, потеряно 100% (проверка остановлена)"),
            std::string::npos)
      << client.output();
}

}  // namespace
}  // namespace connchk::testing
