// The real client program's UDP and TCP echo runs against peers on the test's own loopback.
#include <signal.h>

#include <gtest/gtest.h>

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

std::optional<Bytes> echo(const Bytes& request) { return withReplyMarker(request); }

// The client's lines without their time prefixes.
Lines clientLines(const Program& client) { return withoutTimePrefixes(client.outputLines()); }

::testing::AssertionResult matches(const std::string& line, const std::string& pattern) {
  if (std::regex_match(line, std::regex(pattern))) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "'" << line << "' does not match '" << pattern << "'";
}

double secondsBetween(const Received& a, const Received& b) {
  return std::chrono::duration<double>(b.at - a.at).count();
}

TEST(ClientEcho, UdpAnswersAreTimedAndLoggedInOrder) {
  REQUIRE_PRIVATE_NETWORK();
  UdpPeer server(EchoPort, echo);
  Program client(CLIENT_PROGRAM);
  ASSERT_EQ(client.run({"--console", "--count", "2", "127.0.0.1"}), 0) << client.errors();

  const Lines lines = clientLines(client);
  ASSERT_EQ(lines.size(), 7u) << client.output();
  EXPECT_TRUE(matches(lines[0], R"(Соединение с 127\.0\.0\.1, порт 87 \(свой порт \d+\))"));
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
  ASSERT_EQ(client.run({"--console", "--protocol", "TCP (порт 87)", "--count", "2", "--size", "100"}), 0)
      << client.errors();
  const Lines lines = clientLines(client);
  ASSERT_EQ(lines.size(), 7u) << client.output();
  EXPECT_TRUE(matches(lines[0], R"(Соединение с 127\.0\.0\.1, порт 87 \(свой порт \d+\))"));
  EXPECT_EQ(lines[4], Sent);
  EXPECT_EQ(lines[5], Answered);
  EXPECT_TRUE(matches(lines[6], R"(Протокол TCP\. Время приема-передачи: 0:00\.\d\d\d)"));
  const auto requests = server.received();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].bytes.size(), 100u);
  EXPECT_EQ(requests[0].from.sin_port, requests[1].from.sin_port) << "both rounds use one connection";
}

TEST(ClientEcho, SilentUdpPeerTimesOutAndTheNextRequestFollowsAtOnce) {
  REQUIRE_PRIVATE_NETWORK();
  UdpPeer server(EchoPort, silent);
  Program client(CLIENT_PROGRAM);
  EXPECT_EQ(client.run({"--console", "--count", "2"}), 1) << "no answer was accepted";
  const Lines lines = clientLines(client);
  ASSERT_EQ(lines.size(), 5u) << client.output();
  EXPECT_EQ(lines[1], Sent);
  EXPECT_EQ(lines[2], TimedOut);
  EXPECT_EQ(lines[3], Sent);
  EXPECT_EQ(lines[4], TimedOut);
  const auto requests = server.received();
  ASSERT_EQ(requests.size(), 2u);
  const double gap = secondsBetween(requests[0], requests[1]);
  EXPECT_GE(gap, 4.9) << "the receive waits five seconds";
  EXPECT_LT(gap, 5.8) << "no pause follows a time-out";
}

TEST(ClientEcho, AnswersWithoutAWholeReplyMarkerAreNotAccepted) {
  REQUIRE_PRIVATE_NETWORK();
  // First a good answer, which leaves the reply marker in the client's buffer; then answers too
  // short to carry one, and one of full length without it.
  int round = 0;
  UdpPeer server(EchoPort, [&round](const Bytes& request) -> std::optional<Bytes> {
    switch (round++) {
      case 0: return withReplyMarker(request);
      case 1: return Bytes(request.begin(), request.begin() + 12);
      default: return request;  // still the request marker
    }
  });
  Program client(CLIENT_PROGRAM);
  ASSERT_EQ(client.run({"--console", "--count", "3"}), 0);
  const std::string out = client.output();
  EXPECT_EQ(occurrences(out, Answered), 1) << out;
  EXPECT_EQ(occurrences(out, Sent), 3);
  const auto requests = server.received();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_GE(secondsBetween(requests[1], requests[2]), 0.95) << "an answer without the marker still takes the pause";
}

TEST(ClientEcho, SizeTwelveSendsTwentyBytes) {
  REQUIRE_PRIVATE_NETWORK();
  UdpPeer server(EchoPort, echo);
  Program client(CLIENT_PROGRAM);
  ASSERT_EQ(client.run({"--console", "--size", "12"}), 0);
  const auto requests = server.received();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].bytes.size(), 20u);
}

TEST(ClientEcho, CountZeroOrTextSendsNothingButStillConnects) {
  REQUIRE_PRIVATE_NETWORK();
  UdpPeer server(EchoPort, echo);
  for (const char* count : {"0", "abc", "-5"}) {
    Program client(CLIENT_PROGRAM);
    EXPECT_EQ(client.run({"--console", "--count", count}), 1) << count;
    const Lines lines = clientLines(client);
    ASSERT_EQ(lines.size(), 1u) << client.output();
    EXPECT_TRUE(matches(lines[0], R"(Соединение с 127\.0\.0\.1, порт 87 \(свой порт \d+\))"));
  }
  EXPECT_TRUE(server.received().empty());
}

TEST(ClientEcho, RefusedTcpConnectionEndsTheRunAtOnce) {
  REQUIRE_PRIVATE_NETWORK();
  Program client(CLIENT_PROGRAM);
  EXPECT_EQ(client.run({"--console", "--protocol", "14"}, milliseconds(3000)), 2);
  EXPECT_EQ(clientLines(client), Lines{"Ошибка соединения 111"});
}

TEST(ClientEcho, UnknownHostIsReportedAndNothingIsSent) {
  REQUIRE_PRIVATE_NETWORK();
  UdpPeer server(EchoPort, echo);
  Program client(CLIENT_PROGRAM);
  EXPECT_EQ(client.run({"--console", "no-such-host.invalid"}, milliseconds(10000)), 2);
  EXPECT_EQ(clientLines(client), Lines{"Невозможно определить адрес ВЕЛТ-IP для подключения"});
  EXPECT_TRUE(server.received().empty());
}

TEST(ClientEcho, BadOptionsAreRefusedBeforeAnythingIsSent) {
  REQUIRE_PRIVATE_NETWORK();
  UdpPeer server(EchoPort, echo);
  const std::vector<std::vector<std::string>> bad = {
      {"--console", "--size", "1501"}, {"--console", "--terminal", "1000"}, {"--console", std::string(256, 'x')}};
  for (const auto& args : bad) {
    Program client(CLIENT_PROGRAM);
    EXPECT_EQ(client.run(args), 2);
    EXPECT_TRUE(client.output().empty());
    EXPECT_NE(client.errors().find("client: "), std::string::npos);
  }
  EXPECT_TRUE(server.received().empty());
}

TEST(ClientEcho, CtrlCDuringThePauseEndsTheRunWithoutAnotherRequest) {
  REQUIRE_PRIVATE_NETWORK();
  UdpPeer server(EchoPort, echo);
  Program client(CLIENT_PROGRAM);
  client.start({"--console", "--count", "Бесконечно"});
  ASSERT_TRUE(client.waitForOutput("Время приема-передачи"));
  client.signal(SIGINT);
  EXPECT_EQ(client.wait(milliseconds(3000)), 0) << "the run ends after the pause, with its answer counted";
  EXPECT_EQ(server.received().size(), 1u);
  EXPECT_EQ(occurrences(client.output(), Sent), 1);
}

TEST(ClientEcho, SecondCtrlCEndsTheProgramAtOnce) {
  REQUIRE_PRIVATE_NETWORK();
  UdpPeer server(EchoPort, silent);
  Program client(CLIENT_PROGRAM);
  client.start({"--console", "--count", "-1"});
  ASSERT_TRUE(client.waitForOutput(Sent));
  client.signal(SIGINT);
  // Signals of one kind that arrive together count once; a person's second press comes later.
  std::this_thread::sleep_for(milliseconds(300));
  client.signal(SIGINT);
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(client.wait(milliseconds(3000)), 130);
  EXPECT_LT(std::chrono::steady_clock::now() - before, milliseconds(1000)) << "it does not wait for the time-out";
}

}  // namespace
}  // namespace connchk::testing
