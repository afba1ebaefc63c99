// The metrics endpoint's and the probe exporter's pure parts: listen addresses, probe queries and
// time budgets, the figures a probe and a server scrape give.
#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <prometheus/text_serializer.h>

#include <sstream>

#include "client/console_options.h"
#include "client/exporter_metrics.h"
#include "client/exporter_query.h"
#include "client/protocol_catalogue.h"
#include "common/http/listener.h"
#include "common/log_directory.h"
#include "server/metrics.h"
#include "tests/support/http_get.h"
#include "tests/support/private_network.h"

namespace connchk {
namespace {

using std::chrono::milliseconds;

std::map<std::string, double> samples(const std::vector<prometheus::MetricFamily>& families) {
  std::ostringstream out;
  prometheus::TextSerializer().Serialize(out, families);
  return testing::samplesOf(out.str());
}

// The server's own samples of a scrape (the Exposer adds figures of its own).
std::map<std::string, double> serverSamples(const std::string& page) {
  std::map<std::string, double> ours;
  for (const auto& [series, value] : testing::samplesOf(page)) {
    if (series.rfind("connchk_server_", 0) == 0) ours[series] = value;
  }
  return ours;
}

TEST(ListenAddress, TakesPortOrIPv4AndPortOnly) {
  const struct {
    const char* text;
    const char* ports;  // nullptr: refused
  } cases[] = {
      {"9187", "9187"},           {"127.0.0.1:9187", "127.0.0.1:9187"}, {"0.0.0.0:1", "0.0.0.0:1"},
      {"65535", "65535"},         {"0", nullptr},                       {"65536", nullptr},
      {"", nullptr},              {"localhost:9187", nullptr},          {"[::1]:9187", nullptr},
      {"9187s", nullptr},         {"9187,9188", nullptr},               {"127.0.0.1:", nullptr},
      {"1.2.3:9187", nullptr},    {"-1", nullptr},                      {"0000009187", nullptr},
  };
  for (const auto& c : cases) {
    const auto parsed = http::parseListenAddress(c.text);
    if (c.ports) {
      ASSERT_TRUE(parsed) << c.text << ": " << parsed.error().text;
      EXPECT_EQ(parsed->listeningPorts(), c.ports);
    } else {
      EXPECT_FALSE(parsed) << c.text;
      EXPECT_FALSE(parsed.error().text.empty()) << c.text;
    }
  }
}

TEST(ProbeQuery, ReadsTargetProtocolAndOptions) {
  using client::parseProbeQuery;
  const auto udp = parseProbeQuery("target=192.0.2.7&protocol=udp");
  ASSERT_TRUE(udp.query) << udp.error;
  EXPECT_EQ(udp.query->target, "192.0.2.7");
  EXPECT_EQ(udp.query->protocolIndex, client::UdpEchoIndex);
  EXPECT_EQ(udp.query->count, client::DefaultProbeCount);
  EXPECT_EQ(udp.query->size, 32u);

  EXPECT_EQ(udp.query->family, platform::FamilyChoice::Any);
  const auto full =
      parseProbeQuery("protocol=TELM-UDP&target=host.example&count=20&size=1500&terminal=999&family=IPv6");
  ASSERT_TRUE(full.query) << full.error;
  EXPECT_EQ(full.query->family, platform::FamilyChoice::IPv6);
  EXPECT_EQ(parseProbeQuery("target=a&protocol=udp&family=4").query->family, platform::FamilyChoice::IPv4);
  EXPECT_FALSE(udp.query->trace);
  EXPECT_TRUE(parseProbeQuery("target=a&protocol=raw53&trace=1").query->trace);
  EXPECT_FALSE(parseProbeQuery("target=a&protocol=raw53&trace=0").query->trace);
  EXPECT_EQ(full.query->protocolIndex, client::TerminalUdpIndex);
  EXPECT_EQ(full.query->count, 20);
  EXPECT_EQ(full.query->size, 1500u);
  EXPECT_EQ(full.query->terminal, 999u);

  // The same type by short name in any case, by its catalogue text (URL-encoded) and its index.
  for (const char* protocol : {"tcp", "TCP", "TCP%20(%D0%BF%D0%BE%D1%80%D1%82%2087)", "14"}) {
    const auto parsed = parseProbeQuery(std::string("target=a&protocol=") + protocol);
    ASSERT_TRUE(parsed.query) << protocol << ": " << parsed.error;
    EXPECT_EQ(parsed.query->protocolIndex, 14) << protocol;
  }
  EXPECT_EQ(client::findProtocolType("terminal"), client::TerminalUdpIndex);
  EXPECT_EQ(client::findProtocolType("raw117"), 10);
}

TEST(ProbeQuery, RefusesWhatCannotBeProbedWithAReason) {
  const struct {
    const char* query;
    const char* reason;
  } cases[] = {
      {"protocol=udp", "missing target"},
      {"target=&protocol=udp", "missing target"},
      {"target=a%20b&protocol=udp", "blanks or control characters"},
      {"target=a%00b&protocol=udp", "blanks or control characters"},
      {"target=a", "missing protocol"},
      {"target=a&protocol=smtp", "unknown protocol"},
      {"target=a&protocol=15", "unknown protocol"},
      {"target=a&protocol=udp&count=0", "count must be"},
      {"target=a&protocol=udp&count=21", "count must be"},
      {"target=a&protocol=udp&count=3x", "count must be"},
      {"target=a&protocol=udp&count=99999999999", "count must be"},
      {"target=a&protocol=udp&size=11", "size must be"},
      {"target=a&protocol=udp&terminal=0", "terminal must be"},
      {"target=a&protocol=udp&family=inet6", "family must be"},
      {"target=a&protocol=udp&trace=yes", "trace must be 1"},
  };
  for (const auto& c : cases) {
    const auto parsed = client::parseProbeQuery(c.query);
    EXPECT_FALSE(parsed.query) << c.query;
    EXPECT_NE(parsed.error.find(c.reason), std::string::npos) << c.query << " -> " << parsed.error;
  }
  const auto longTarget = client::parseProbeQuery("protocol=udp&target=" + std::string(256, 'a'));
  EXPECT_NE(longTarget.error.find("longer than 255"), std::string::npos);
  // The bound counts characters, not bytes: 200 Cyrillic letters (400 bytes) are a fit name.
  std::string cyrillic;
  for (int i = 0; i < 200; ++i) cyrillic += "%D1%8F";
  EXPECT_TRUE(client::parseProbeQuery("protocol=udp&target=" + cyrillic).query);
}

TEST(ProbeTiming, FitsEveryRoundInTheScrapeTimeOut) {
  EXPECT_EQ(client::probeBudget(nullptr), milliseconds(9000));
  EXPECT_EQ(client::probeBudget("10"), milliseconds(9500));
  EXPECT_EQ(client::probeBudget("2.5"), milliseconds(2000));
  EXPECT_EQ(client::probeBudget("3600"), milliseconds(60000));
  for (const char* unusable : {"", "abc", "-1", "0", "nan", "inf"}) {
    EXPECT_EQ(client::probeBudget(unusable), milliseconds(9000)) << unusable;
  }
  // count answers plus the pauses between them stay within the budget; 5 s at most, 0.1 s at least.
  EXPECT_EQ(client::answerTimeoutWithin(milliseconds(9000), 3), (9000 - 2 * 200) / 3);
  EXPECT_EQ(client::answerTimeoutWithin(milliseconds(60000), 1), 5000);
  EXPECT_EQ(client::answerTimeoutWithin(milliseconds(9000), 20), (9000 - 19 * 200) / 20);
  EXPECT_EQ(client::answerTimeoutWithin(milliseconds(500), 2), 150);
  EXPECT_FALSE(client::answerTimeoutWithin(milliseconds(1200), 5));
  EXPECT_FALSE(client::answerTimeoutWithin(milliseconds(0), 1));
  // The account's share: a fifth, 1 s at most, none where it or the rounds beside it would not fit.
  struct Share {
    int budgetMs, count, shareMs;
  };
  for (const Share& c : {Share{9000, 3, 1000}, Share{2000, 1, 400}, Share{400, 1, 0}, Share{1200, 4, 0},
                         Share{6000, 20, 0}, Share{7000, 20, 1000}}) {
    EXPECT_EQ(client::accountShare(milliseconds(c.budgetMs), c.count), milliseconds(c.shareMs))
        << c.budgetMs << " ms, " << c.count << " rounds";
  }
}

TEST(ProbeMetrics, GiveSuccessLossAndRoundTripsInSeconds) {
  client::ProbeResult result;
  result.durationSeconds = 1.25;
  result.outcome.requestsSent = 4;
  result.outcome.answersAccepted = 3;
  for (const std::int64_t trip : {1500, 500, -1, 1000}) {
    client::RoundRecord round;
    round.result = trip < 0 ? client::RoundResult::TimedOut : client::RoundResult::Answered;
    round.roundTripUs = trip;
    result.outcome.rounds.push_back(round);
  }
  result.outcome.judgement = client::judge(result.outcome);
  auto got = samples(client::probeMetrics(result));
  EXPECT_EQ(got["probe_success"], 1);
  EXPECT_EQ(got["probe_verdict{verdict=\"loss\"}"], 1);
  EXPECT_EQ(got["probe_duration_seconds"], 1.25);
  EXPECT_EQ(got["probe_start_failed"], 0);
  EXPECT_EQ(got["probe_requests_sent"], 4);
  EXPECT_EQ(got["probe_answers_received"], 3);
  EXPECT_DOUBLE_EQ(got["probe_loss_ratio"], 0.25);
  EXPECT_DOUBLE_EQ(got["probe_rtt_min_seconds"], 0.0005);
  EXPECT_DOUBLE_EQ(got["probe_rtt_avg_seconds"], 0.001);
  EXPECT_DOUBLE_EQ(got["probe_rtt_max_seconds"], 0.0015);
  EXPECT_FALSE(got.count("probe_lost_back")) << "no account was given";
  result.outcome.account.given = true;
  result.outcome.account.lostBack = 1;
  got = samples(client::probeMetrics(result));
  EXPECT_EQ(got["probe_lost_there"], 0);
  EXPECT_EQ(got["probe_lost_back"], 1);

  // Nothing answered: no round trips to give; nothing sent: no loss either.
  result.outcome = client::RunOutcome{};
  result.outcome.requestsSent = 2;
  result.outcome.judgement = client::judge(result.outcome);
  got = samples(client::probeMetrics(result));
  EXPECT_EQ(got["probe_success"], 0);
  EXPECT_EQ(got["probe_verdict{verdict=\"fail\",reason=\"no-request\"}"], 1);
  EXPECT_EQ(got["probe_loss_ratio"], 1);
  EXPECT_FALSE(got.count("probe_rtt_avg_seconds"));
  result.outcome = client::RunOutcome{};
  result.started = false;
  got = samples(client::probeMetrics(result));
  EXPECT_EQ(got["probe_start_failed"], 1);
  EXPECT_FALSE(got.count("probe_loss_ratio"));
  EXPECT_FALSE(got.count("probe_trace_reached")) << "only a probe with trace=1 that was traced";

  // trace=1: the farthest hop that answered, and whether it was the server.
  client::TypeTrace trace;
  trace.end = client::TraceEnd::Silence;
  for (const auto answer : {client::HopAnswer::TimeExceeded, client::HopAnswer::TimeExceeded, client::HopAnswer::Silent}) {
    client::TraceHop hop;
    hop.hop = static_cast<int>(trace.hops.size()) + 1;
    hop.answer = answer;
    trace.hops.push_back(hop);
  }
  result.trace = trace;
  got = samples(client::probeMetrics(result));
  EXPECT_EQ(got["probe_trace_last_hop"], 2);
  EXPECT_EQ(got["probe_trace_reached"], 0);
  result.trace->end = client::TraceEnd::Reached;
  result.trace->hops.back().answer = client::HopAnswer::ServerAnswer;
  got = samples(client::probeMetrics(result));
  EXPECT_EQ(got["probe_trace_last_hop"], 3);
  EXPECT_EQ(got["probe_trace_reached"], 1);
}

TEST(ExporterArgument, IsAModeOfItsOwnThatTakesTheLogFolder) {
  const auto parse = [](const std::vector<std::string>& args) { return client::parseClientOptions(args); };
  EXPECT_EQ(parse({"--console", "--count", "3"}).options->exporterListen, "");
  EXPECT_EQ(parse({"--exporter", "9188"}).options->exporterListen, "9188");
  EXPECT_EQ(parse({"--console", "--exporter=127.0.0.1:9188"}).options->exporterListen, "127.0.0.1:9188");
  const auto withFolder = parse({"--exporter", "9188", "--log-dir", "/var/log/probe"});
  ASSERT_TRUE(withFolder.options) << withFolder.error;
  EXPECT_EQ(withFolder.options->logDirectory, "/var/log/probe");
  const struct {
    std::vector<std::string> args;
    const char* error;
  } refused[] = {
      {{"--exporter"}, "--exporter needs a value"},
      {{"--exporter", "--console"}, "--exporter needs"},
      {{"--exporter="}, "--exporter needs"},
      {{"--exporter", "9188", "--count", "3"}, "--exporter takes no other option but --log-dir"},
      {{"192.0.2.1", "--exporter", "9188"}, "--exporter takes no other option but --log-dir"},
      {{"--exporter", "9188", "-4"}, "--exporter takes no other option but --log-dir"},
      {{"--exporter", "9188", "--log-dir="}, "--log-dir needs a"},
  };
  for (const auto& c : refused) {
    const auto parsed = parse(c.args);
    EXPECT_FALSE(parsed.options) << c.args.back();
    EXPECT_EQ(parsed.error.rfind(c.error, 0), 0u) << parsed.error;
  }
}

TEST(ExporterLogFolder, IsNeverAFolderOfInstalledPrograms) {
  for (const char* folder : {"/usr/bin", "/usr/bin/", "/bin/", "/usr/local/sbin/", "/usr/games"}) {
    EXPECT_TRUE(isProgramFolder(folder)) << folder;
  }
  for (const char* folder : {"/usr/bin/tools/", "/var/log/connchk/", "/opt/connchk/bin/", "/tmp/", ""}) {
    EXPECT_FALSE(isProgramFolder(folder)) << folder;
  }
}

// Counters set by hand, read as a scrape reads them, over HTTP from the real endpoint.
TEST(ServerMetrics, ScrapeReadsTheCountersOfEveryService) {
  server::ServerCounters counters;
  server::SenderStatistics statistics;
  ActivityLog log = ActivityLog::atPath(LogStyle::Server, "/dev/null");
  counters.services[server::EchoUdpSlot].answered = 7;
  counters.services[server::EchoUdpSlot].state = server::ServiceState::Running;
  counters.services[server::EchoTcpSlot].erroneous = 2;
  counters.services[server::EchoTcpSlot].accountQueriesAnswered = 8;
  counters.services[server::EchoTcpSlot].state = server::ServiceState::Running;
  counters.services[0].receiveErrors = 3;
  counters.services[0].setFailure("Ошибка 1 при открытии сокета");
  counters.services[server::TerminalUdpSlot].sendErrors = 4;
  counters.tcpConnectionsOpen = 5;
  counters.terminalExchangesInProgress = 6;
  statistics.record(platform::Address::loopback(platform::Family::IPv4), 32);
  statistics.record(platform::Address::parse("2001:db8::7").value(), 72);

  const auto opened = server::MetricsEndpoint::open("127.0.0.1:9187");
  ASSERT_TRUE(opened) << opened.error().text;
  const auto& endpoint = *opened;
  auto scrape = [] { return testing::httpGet("http://127.0.0.1:9187/metrics"); };
  auto before = serverSamples(scrape().body);
  EXPECT_EQ(before.size(), 1u) << "nothing watched yet: the build information alone";
  EXPECT_EQ(before["connchk_server_build_info{version=\"1.0\"}"], 1);

  endpoint->watch({counters, statistics, log});
  const auto answer = scrape();
  EXPECT_EQ(answer.status, 200);
  auto got = serverSamples(answer.body);
  EXPECT_EQ(got["connchk_server_requests_answered_total{protocol=\"udp\"}"], 7);
  EXPECT_EQ(got["connchk_server_requests_answered_total{protocol=\"raw117\"}"], 0);
  EXPECT_EQ(got["connchk_server_requests_erroneous_total{protocol=\"tcp\"}"], 2);
  EXPECT_EQ(got["connchk_server_account_queries_answered_total{protocol=\"tcp\"}"], 8);
  EXPECT_EQ(got["connchk_server_requests_answered_total{protocol=\"tcp\"}"], 0);
  EXPECT_EQ(got["connchk_server_receive_errors_total{protocol=\"icmp\"}"], 3);
  EXPECT_EQ(got["connchk_server_send_errors_total{protocol=\"telm-udp\"}"], 4);
  EXPECT_EQ(got["connchk_server_service_running{protocol=\"udp\"}"], 1);
  EXPECT_EQ(got["connchk_server_service_running{protocol=\"icmp\"}"], 0);
  EXPECT_EQ(got["connchk_server_services_running"], 2);
  EXPECT_EQ(got["connchk_server_tcp_connections_open"], 5);
  EXPECT_EQ(got["connchk_server_terminal_exchanges_in_progress"], 6);
  EXPECT_EQ(got["connchk_server_senders_listed"], 2);
  EXPECT_EQ(got["connchk_server_log_lines_lost_total"], 0);
  EXPECT_EQ(got.size(), 6 * 15 + 6u) << "fifteen protocol labels, no other label values";

  counters.services[server::EchoUdpSlot].answered += 1;  // read at the scrape, not copied before
  EXPECT_EQ(serverSamples(scrape().body)["connchk_server_requests_answered_total{protocol=\"udp\"}"], 8);

  // A second endpoint on the same port, or on an address not of this host, says why it cannot listen.
  for (const auto& [at, why] : {std::pair{"127.0.0.1:9187", "Address already in use"},
                                std::pair{"192.0.2.99:9187", "Cannot assign requested address"}}) {
    const auto refused = server::MetricsEndpoint::open(at);
    ASSERT_FALSE(refused) << at;
    EXPECT_NE(refused.error().text.find(why), std::string::npos) << refused.error().text;
  }
  endpoint->forget();
  EXPECT_EQ(serverSamples(scrape().body).size(), 1u);
}

}  // namespace
}  // namespace connchk

namespace connchk {
namespace {

// via= names a way out by the label the exporter was started with; any other way only with
// --allow-via, and then only one this host has.
TEST(ProbeQuery, ViaNamesAStartedWayOrWithAllowViaOneOfThisHost) {
  using client::parseProbeQuery;
  const client::ProbeWays started{{*platform::parseLabelledWay("vpn=lo"), *platform::parseLabelledWay("127.0.0.1")},
                                  false};
  const auto vpn = parseProbeQuery("target=a&protocol=udp&via=vpn", started);
  ASSERT_TRUE(vpn.query) << vpn.error;
  EXPECT_EQ(vpn.query->way.kind, platform::WayOut::Kind::Interface);
  EXPECT_EQ(vpn.query->way.name, "lo");
  const auto byAddress = parseProbeQuery("target=a&protocol=udp&via=127.0.0.1", started);
  ASSERT_TRUE(byAddress.query) << byAddress.error;
  EXPECT_EQ(byAddress.query->family, platform::FamilyChoice::IPv4) << "an address sends in its own family";
  EXPECT_EQ(parseProbeQuery("target=a&protocol=udp", started).query->way.kind, platform::WayOut::Kind::Table);

  EXPECT_EQ(parseProbeQuery("target=a&protocol=udp&via=lo", started).error,
            "via must be one of the ways the exporter was started with: vpn, 127.0.0.1");
  EXPECT_EQ(parseProbeQuery("target=a&protocol=udp&via=vpn").error,
            "via is not allowed: the exporter was started without --via");
  EXPECT_NE(parseProbeQuery("target=a&protocol=udp&family=6&via=127.0.0.1", started).error.find("other family"),
            std::string::npos);

  const client::ProbeWays open{{}, true};
  if (testing::privateNetworkReady()) {  // "lo" and 127.0.0.1 are this host's in the private namespace
    EXPECT_TRUE(parseProbeQuery("target=a&protocol=udp&via=lo", open).query);
    EXPECT_EQ(parseProbeQuery("target=a&protocol=udp&via=nosuch0", open).error, "no interface nosuch0 on this host");
    EXPECT_EQ(parseProbeQuery("target=a&protocol=udp&via=192.0.2.9", open).error,
              "192.0.2.9 is not an address of this host");
  }
  EXPECT_NE(parseProbeQuery("target=a&protocol=udp&via=a%2Fb", open).error.find("neither"), std::string::npos);

  for (const char* bad : {"=lo", "a b=lo", "vpn=", "vpn=a/b"}) EXPECT_FALSE(platform::parseLabelledWay(bad)) << bad;
}

}  // namespace
}  // namespace connchk
