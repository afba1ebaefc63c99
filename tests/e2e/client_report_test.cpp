// What the real client reports about real runs against peers on the test's own loopback: the
// summary at the end (also after Ctrl-C), --quiet, the JSON document, duplicated answers, and the
// pace that -i, -W and --paced give the requests.
#include <signal.h>
#include <sys/time.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "client/report.h"
#include "common/cp1251.h"
#include "common/protocol.h"
#include "tests/support/peers.h"
#include "tests/support/private_network.h"
#include "tests/support/program.h"

namespace connchk::testing {
namespace {

using nlohmann::json;
using std::chrono::milliseconds;
using Lines = std::vector<std::string>;

const std::string RoundTripHead = "Время приема-передачи мин/сред/макс/откл: ";
const Lines QuickRounds = {"-i", "0.2", "-W", "0.5", "--no-account"};

// A UDP echo that answers the first request, leaves the second unanswered, and so on.
Answer everyOther() {
  auto seen = std::make_shared<int>(0);
  return [seen](const Bytes& request) -> std::optional<Bytes> {
    if ((*seen)++ % 2 == 0) return withReplyMarker(request);
    return std::nullopt;
  };
}

Lines clientLines(const Program& client) { return withoutTimePrefixes(client.outputLines()); }

// The four figures of a round-trip summary line, in microseconds; empty if the line is not one.
std::vector<long long> roundTripFigures(const std::string& line) {
  if (line.rfind(RoundTripHead, 0) != 0 || line.size() < RoundTripHead.size() + 5 ||
      line.compare(line.size() - 5, 5, " мс") != 0) {
    return {};
  }
  std::vector<long long> figures;
  const std::string body = line.substr(RoundTripHead.size(), line.size() - RoundTripHead.size() - 5);
  for (const std::string& part : splitLines(body, "/")) {
    const auto point = part.find('.');
    if (point == std::string::npos || part.size() != point + 4) return {};
    figures.push_back(std::stoll(part.substr(0, point)) * 1000 + std::stoll(part.substr(point + 1)));
  }
  return figures.size() == 4 ? figures : std::vector<long long>{};
}

long long unixMicroseconds() {
  timeval now{};
  gettimeofday(&now, nullptr);
  return now.tv_sec * 1000000LL + now.tv_usec;
}

TEST(ClientSummary, CountsTheLossOfAPeerThatAnswersEveryOtherRequest) {
  REQUIRE_PRIVATE_NETWORK();
  UdpPeer server(EchoPort, everyOther());
  Program client(CLIENT_PROGRAM);
  ASSERT_EQ(client.run(with({"--console", "-c", "4"}, QuickRounds)), 0) << client.errors();
  const Lines lines = clientLines(client);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[lines.size() - 3], "Итого: отослано 4, получено 2, потеряно 50%") << client.output();
  const auto figures = roundTripFigures(lines[lines.size() - 2]);
  ASSERT_EQ(figures.size(), 4u) << lines[lines.size() - 2];
  EXPECT_EQ(lines.back().rfind("Процентили p50/p95/p99: ", 0), 0u) << lines.back();
  EXPECT_LE(figures[0], figures[1]);
  EXPECT_LE(figures[1], figures[2]);
  EXPECT_LT(figures[2], 500000) << "an answer inside the time-out";
  EXPECT_EQ(server.received().size(), 4u);
  // The log file ends with the same two lines.
  const Lines file = withoutTimePrefixes(splitLines(fromWindows1251(client.logBytes("client_log.txt")), "\r\n"));
  EXPECT_TRUE(inOrder(file, {lines[lines.size() - 2], lines.back()}));
}

// Ctrl-C and a termination request alike.
class ClientSummaryOnSignal : public ::testing::TestWithParam<int> {};

TEST_P(ClientSummaryOnSignal, EndsARunStoppedWithWhatWasSent) {
  REQUIRE_PRIVATE_NETWORK();
  UdpPeer server(EchoPort, echo);
  Program client(CLIENT_PROGRAM);
  client.start({"--console", "--no-account", "-c", "-1", "-i", "0.2"});
  ASSERT_TRUE(client.waitForCount("Получен ответ от сервера", 3));
  client.signal(GetParam());
  ASSERT_EQ(client.wait(milliseconds(5000)), 0);
  const Lines lines = clientLines(client);
  // The stop ends a wait at once: a request whose answer had not come yet counts as lost.
  const int sent = static_cast<int>(server.received().size());
  const int answered = occurrences(client.output(), "Получен ответ от сервера");
  EXPECT_LE(sent - answered, 1);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[lines.size() - 3], "Итого: отослано " + std::to_string(sent) + ", получено " +
                                         std::to_string(answered) + ", потеряно " +
                                         client::lossText(100.0 * (sent - answered) / sent) + "% (проверка остановлена)");
  EXPECT_EQ(roundTripFigures(lines[lines.size() - 2]).size(), 4u) << lines[lines.size() - 2];
}

INSTANTIATE_TEST_SUITE_P(IntAndTerm, ClientSummaryOnSignal, ::testing::Values(SIGINT, SIGTERM));

TEST(ClientSummary, SigquitPrintsTheFiguresSoFarAndTheRunGoesOn) {
  REQUIRE_PRIVATE_NETWORK();
  UdpPeer server(EchoPort, echo);
  Program client(CLIENT_PROGRAM);
  client.start({"--console", "-c", "-1", "-i", "0.2"});
  ASSERT_TRUE(client.waitForCount("Получен ответ от сервера", 2));
  client.signal(SIGQUIT);
  ASSERT_TRUE(eventually([&] { return client.errors().find("Итого: отослано ") != std::string::npos; }))
      << client.errors();
  EXPECT_EQ(client.errors().find("(проверка остановлена)"), std::string::npos);
  const std::size_t sentBefore = server.received().size();
  EXPECT_TRUE(server.waitForCount(sentBefore + 2)) << "the run goes on";
  EXPECT_TRUE(client.running());
  client.signal(SIGINT);
  EXPECT_EQ(client.wait(milliseconds(5000)), 0);
  EXPECT_EQ(occurrences(client.output(), "Итого: отослано "), 1) << "the figures so far are not logged";
}

// The verdict of a path that loses requests: passed with loss within --max-loss, failed beyond.
TEST(ClientVerdict, APathDroppingOneRequestInFourPassesWithLossUnlessTheLimitIsLower) {
  REQUIRE_PRIVATE_NETWORK();
  struct Case {
    Lines extra;
    int status;
    const char* verdict;
  };
  for (const Case& c : {Case{{}, 0, "loss"}, Case{{"--max-loss", "10"}, 1, "fail"}}) {
    auto seen = std::make_shared<int>(0);
    UdpPeer server(EchoPort, [seen](const Bytes& request) -> std::optional<Bytes> {
      if (++*seen % 4 == 0) return std::nullopt;
      return withReplyMarker(request);
    });
    Program client(CLIENT_PROGRAM);
    ASSERT_EQ(client.run(with(with({"--json", "-c", "8"}, QuickRounds), c.extra)), c.status) << client.errors();
    const json doc = json::parse(client.output());
    EXPECT_EQ(doc["summary"]["sent"], 8);
    EXPECT_EQ(doc["summary"]["answered"], 6);
    EXPECT_EQ(doc["summary"]["verdict"], c.verdict);
  }
}

// A TCP port 87 that drops the connection requests is the path's fault: exit 1, and the run, the
// JSON and a sweep say it failed and why.
TEST(ClientVerdict, ABlockedTcpPortFailsWithItsReason) {
  REQUIRE_PRIVATE_NETWORK();
  TcpBlackHole hole(EchoPort);
  Program single(CLIENT_PROGRAM);
  single.start({"--json", "-p", "tcp"});
  Program sweep(CLIENT_PROGRAM);
  sweep.start({"--sweep", "--json", "-p", "tcp", "-c", "1"});
  ASSERT_EQ(single.wait(), 1) << single.errors();
  const json run = json::parse(single.output());
  EXPECT_EQ(run["summary"]["verdict"], "fail");
  EXPECT_EQ(run["summary"]["reason_code"], "connect-timeout");
  EXPECT_EQ(run["failure"], "Ошибка соединения 110");
  ASSERT_EQ(sweep.wait(), 1) << sweep.errors();
  const json row = json::parse(sweep.output())["types"][0];
  EXPECT_EQ(row["verdict"], "fail");
  EXPECT_EQ(row["reason_code"], "connect-timeout");
  EXPECT_NE(sweep.errors().find("не пройден: Ошибка соединения 110"), std::string::npos) << sweep.errors();
}

TEST(ClientQuiet, PrintsTheSummaryOnlyAndLogsEverything) {
  REQUIRE_PRIVATE_NETWORK();
  {
    UdpPeer server(EchoPort, echo);
    Program client(CLIENT_PROGRAM);
    ASSERT_EQ(client.run(with({"-q", "-c", "2"}, QuickRounds)), 0);
    const Lines lines = client.outputLines();
    ASSERT_EQ(lines.size(), 3u) << client.output();
    EXPECT_EQ(lines[0], "Итого: отослано 2, получено 2, потеряно 0%");
    EXPECT_EQ(roundTripFigures(lines[1]).size(), 4u) << lines[1];
    EXPECT_EQ(occurrences(fromWindows1251(client.logBytes("client_log.txt")), "Получен ответ от сервера"), 2);
  }
  Program refused(CLIENT_PROGRAM);
  EXPECT_EQ(refused.run({"-q", "-p", "tcp"}), 1) << "a refused connection is the path's fault";
  EXPECT_EQ(refused.output(), "");
  EXPECT_EQ(refused.errors(), "client: Ошибка соединения 111\n") << "why it could not start, on stderr";
}

// Every figure of a run's JSON document against what the peer saw and the rounds themselves.
void expectConsistentRun(const json& doc, std::size_t requestsSeen, long long from, long long to) {
  EXPECT_EQ(doc["kind"], "run");
  const json& rounds = doc["rounds"];
  ASSERT_EQ(rounds.size(), requestsSeen) << doc.dump(1);
  std::vector<long long> trips;
  long long previous = from;
  for (std::size_t i = 0; i < rounds.size(); ++i) {
    const json& round = rounds[i];
    EXPECT_EQ(round["number"], i + 1);
    const long long sentAt = round["sent_at_us"].get<long long>();
    EXPECT_GE(sentAt, previous) << "in order, within the run";
    EXPECT_LE(sentAt, to);
    previous = sentAt;
    EXPECT_EQ(round["sent_at"], client::utcTimeText(sentAt));
    const bool answered = round["result"] == "answered";
    EXPECT_EQ(round["rtt_us"].is_null(), !answered) << round.dump();
    EXPECT_TRUE(round["error"].is_null()) << round.dump();
    if (answered) {
      trips.push_back(round["rtt_us"].get<long long>());
      EXPECT_LT(trips.back(), doc["parameters"]["timeout_ms"].get<long long>() * 1000);
    } else {
      EXPECT_EQ(round["result"], "timeout");
    }
  }
  const json& summary = doc["summary"];
  EXPECT_EQ(summary["sent"], rounds.size());
  EXPECT_EQ(summary["answered"], trips.size());
  const double lost = static_cast<double>(rounds.size() - trips.size());
  EXPECT_DOUBLE_EQ(summary["loss_percent"].get<double>(), rounds.empty() ? 0.0 : 100.0 * lost / rounds.size());
  if (trips.empty()) {
    EXPECT_TRUE(summary["rtt_us"].is_null());
    return;
  }
  std::sort(trips.begin(), trips.end());
  EXPECT_EQ(summary["rtt_us"]["min"], trips.front());
  EXPECT_EQ(summary["rtt_us"]["max"], trips.back());
  EXPECT_GE(summary["rtt_us"]["avg"].get<long long>(), trips.front());
  EXPECT_LE(summary["rtt_us"]["avg"].get<long long>(), trips.back());
}

TEST(ClientJson, RealRunsAreReportedFieldByField) {
  REQUIRE_PRIVATE_NETWORK();
  struct Case {
    Lines args;
    bool tcp;
    Answer answer;
    int status;
    std::function<void(const json&)> check;
  };
  const std::vector<Case> cases = {
      {with({"--json", "-c", "4"}, QuickRounds), false, everyOther(), 0,
       [](const json& doc) {
         EXPECT_EQ(doc["parameters"], json::parse(R"({"address": "127.0.0.1", "type": "IP-Клиент", "short_name": "udp",
             "protocol": 17, "size": 32, "count": 4, "terminal": null, "interval_ms": 200, "timeout_ms": 500})"));
         const json& rounds = doc["rounds"];
         ASSERT_EQ(rounds.size(), 4u);
         for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(rounds[i]["result"], i % 2 ? "timeout" : "answered");
         EXPECT_EQ(doc["started"], true);
         EXPECT_EQ(doc["stopped"], false);
         EXPECT_TRUE(doc["failure"].is_null());
       }},
      {with({"--json", "-p", "TCP", "-c", "2", "-s", "100"}, QuickRounds), true, echo, 0,
       [](const json& doc) {
         EXPECT_EQ(doc["parameters"]["short_name"], "tcp");
         EXPECT_EQ(doc["parameters"]["protocol"], 6);
         EXPECT_EQ(doc["parameters"]["size"], 100);
         EXPECT_EQ(doc["summary"]["answered"], 2);
       }},
      {{"--json", "-p", "tcp"}, false, nullptr, 1,
       [](const json& doc) {
         EXPECT_EQ(doc["started"], false);
         EXPECT_EQ(doc["failure"], "Ошибка соединения 111");
         EXPECT_EQ(doc["summary"]["sent"], 0);
         EXPECT_EQ(doc["summary"]["verdict"], "fail");
         EXPECT_EQ(doc["summary"]["reason_code"], "connect-failed");
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    // (Peer has no virtual destructor: each kind is owned as itself.)
    std::unique_ptr<TcpPeer> tcp;
    std::unique_ptr<UdpPeer> udp;
    Peer* server = nullptr;
    if (c.answer && c.tcp) server = (tcp = std::make_unique<TcpPeer>(EchoPort, c.answer)).get();
    if (c.answer && !c.tcp) server = (udp = std::make_unique<UdpPeer>(EchoPort, c.answer)).get();
    Program client(CLIENT_PROGRAM);
    const long long from = unixMicroseconds();
    ASSERT_EQ(client.run(c.args), c.status) << client.errors();
    const long long to = unixMicroseconds();
    const json doc = json::parse(client.output());  // stdout holds the document and nothing else
    EXPECT_EQ(doc["exit_status"], c.status);
    expectConsistentRun(doc, server ? server->received().size() : 0, from, to);
    c.check(doc);
    // The log lines went to stderr instead, and to the file as always.
    EXPECT_NE(client.errors().find(doc["started"] == false ? "Ошибка соединения 111" : "Итого: отослано"),
              std::string::npos);
    EXPECT_NE(client.logBytes("client_log.txt"), "");
  }
}

double secondsBetween(const Received& a, const Received& b) {
  return std::chrono::duration<double>(b.at - a.at).count();
}

TEST(ClientPacing, IntervalAndTimeOutSetTheGapsBetweenRequests) {
  REQUIRE_PRIVATE_NETWORK();
  struct Case {
    Answer answer;
    Lines args;
    double low, high;  // seconds between requests as the peer receives them
  };
  const std::vector<Case> cases = {
      {echo, {"--console", "-c", "5", "-i", "0.2", "--no-account"}, 0.18, 0.6},
      {silent, {"--console", "-c", "3", "-i", "0.2", "-W", "0.5", "--no-account"}, 0.45, 1.3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    UdpPeer server(EchoPort, c.answer);
    Program client(CLIENT_PROGRAM);
    client.run(c.args);
    const auto requests = server.received();
    ASSERT_EQ(requests.size(), static_cast<std::size_t>(std::stoi(c.args[2])));
    for (std::size_t i = 1; i < requests.size(); ++i) {
      const double gap = secondsBetween(requests[i - 1], requests[i]);
      EXPECT_GE(gap, c.low) << i;
      EXPECT_LE(gap, c.high) << i;
    }
  }
  Program tooFast(CLIENT_PROGRAM);
  EXPECT_EQ(tooFast.run({"--console", "-i", "0.1"}), 2);
  EXPECT_EQ(tooFast.errors(), "client: -i/--interval must be a number of seconds from 0.2 to 3600\n");
}

// A peer that answers every request twice: the second answers are duplicates, counted as such
// and never as answers. The last one may come after the run has ended, as with ping.
TEST(ClientSummary, CountsDuplicatedAnswersOnceEach) {
  REQUIRE_PRIVATE_NETWORK();
  for (const Lines& mode : {Lines{}, Lines{"--paced"}}) {
    SCOPED_TRACE(::testing::PrintToString(mode));
    UdpPeer server(EchoPort, [](const Bytes& request) {
      return std::vector<Reply>{{echo(request).value()}, {echo(request).value()}};
    });
    Program client(CLIENT_PROGRAM);
    ASSERT_EQ(client.run(with(with({"--json", "-c", "5"}, QuickRounds), mode)), 0) << client.errors();
    const json summary = json::parse(client.output())["summary"];
    EXPECT_EQ(summary["sent"], 5);
    EXPECT_EQ(summary["answered"], 5);
    EXPECT_EQ(summary["loss_percent"], 0.0);
    EXPECT_EQ(summary["late"], 0);
    const int duplicates = summary["duplicates"].get<int>();
    EXPECT_GE(duplicates, 4);
    EXPECT_LE(duplicates, 5);
    EXPECT_NE(client.errors().find("Итого: отослано 5, получено 5, +" + std::to_string(duplicates) +
                                   " дубликатов, потеряно 0%"),
              std::string::npos)
        << client.errors();
  }
}

// --paced sends every -i whatever came back: against a black hole 20 requests take about 20 x -i
// plus one -W, where one request at a time would take 20 x (-W + -i).
TEST(ClientPacing, PacedRequestsDoNotWaitForEachOther) {
  REQUIRE_PRIVATE_NETWORK();
  UdpPeer server(EchoPort, silent);
  Program client(CLIENT_PROGRAM);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(client.run({"--paced", "--json", "--no-account", "-c", "20", "-i", "0.2", "-W", "1"}), 1)
      << client.errors();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(seconds, 20 * 1.0) << "never 20 x (W + i)";
  EXPECT_EQ(server.received().size(), 20u);
  const json doc = json::parse(client.output());
  const json& rounds = doc["rounds"];
  ASSERT_EQ(rounds.size(), 20u);
  for (std::size_t i = 0; i < rounds.size(); ++i) EXPECT_EQ(rounds[i]["result"], "timeout") << i;
  // Each request leaves -i after the one before, as the client took their send times.
  for (std::size_t i = 1; i < rounds.size(); ++i) {
    EXPECT_GE(rounds[i]["sent_at_us"].get<long long>() - rounds[i - 1]["sent_at_us"].get<long long>(), 190000) << i;
  }
  EXPECT_EQ(occurrences(client.errors(), "Превышено время ожидания ответа"), 20);
  EXPECT_NE(client.errors().find("Итого: отослано 20, получено 0, потеряно 100%"), std::string::npos);
}

// A peer that answers each pair of requests together, the second first: every answer is matched
// to its own request by the send time it carries, counted once, and the rounds stay in send order.
// ICMP goes to this host's own system, which answers at once.
TEST(ClientPacing, PacedAnswersAreMatchedToTheirOwnRequests) {
  REQUIRE_PRIVATE_NETWORK();
  auto held = std::make_shared<std::optional<Bytes>>();
  UdpPeer server(EchoPort, [held](const Bytes& request) {
    if (!*held) {
      *held = request;
      return std::vector<Reply>{};
    }
    std::vector<Reply> both{{echo(request).value()}, {echo(**held).value()}};
    held->reset();
    return both;
  });
  for (const Lines& type : {Lines{"-p", "udp"}, Lines{"-p", "icmp"}}) {
    SCOPED_TRACE(type[1]);
    Program client(CLIENT_PROGRAM);
    ASSERT_EQ(client.run(with({"--paced", "--json", "-c", "6", "-i", "0.2", "-W", "2", "--no-account"}, type)), 0)
        << client.errors();
    const json doc = json::parse(client.output());
    EXPECT_EQ(doc["parameters"]["paced"], true);
    EXPECT_EQ(doc["summary"]["sent"], 6);
    EXPECT_EQ(doc["summary"]["answered"], 6);
    EXPECT_EQ(doc["summary"]["duplicates"], 0);
    ASSERT_EQ(doc["rounds"].size(), 6u);
    for (std::size_t i = 0; i < 6; ++i) {
      EXPECT_EQ(doc["rounds"][i]["number"], i + 1);
      EXPECT_EQ(doc["rounds"][i]["result"], "answered");
    }
    EXPECT_EQ(occurrences(client.errors(), "Получен ответ от сервера"), 6);
    if (type[1] == "udp") {
      // The first of each pair waited for the second to be sent, -i later.
      EXPECT_GE(doc["rounds"][0]["rtt_us"].get<long long>(), 150000);
      EXPECT_LT(doc["rounds"][1]["rtt_us"].get<long long>(), doc["rounds"][0]["rtt_us"].get<long long>());
    }
  }
}

// Stop ends a paced run at once, however long its open requests would still wait, with the
// summary of what was sent.
TEST(ClientPacing, StopEndsAPacedRunAtOnce) {
  REQUIRE_PRIVATE_NETWORK();
  UdpPeer server(EchoPort, silent);
  Program client(CLIENT_PROGRAM);
  client.start({"--paced", "--console", "--no-account", "-c", "-1", "-i", "0.2", "-W", "600"});
  ASSERT_TRUE(server.waitForCount(3));
  client.signal(SIGINT);
  EXPECT_EQ(client.wait(milliseconds(10000)), 1);
  const Lines lines = clientLines(client);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "Итого: отослано " + std::to_string(server.received().size()) +
                              ", получено 0, потеряно 100% (проверка остановлена)");
}

}  // namespace
}  // namespace connchk::testing
