// The client's probe exporter and the server's metrics, driven over HTTP as Prometheus drives
// them, against the real server in the test's own network namespace (or two hosts for the
// terminal exchange), and the real Prometheus server scraping both.
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "common/activity_log.h"
#include "common/cp1251.h"
#include "common/platform/sockets.h"
#include "tests/support/http_get.h"
#include "tests/support/echo_server.h"
#include "tests/support/private_network.h"
#include "tests/support/program.h"
#include "tests/support/two_hosts.h"

namespace connchk::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr const char* ExporterAt = "127.0.0.1:9188";
constexpr const char* MetricsAt = "127.0.0.1:9187";

std::string probeUrl(const std::string& query, const std::string& host = "127.0.0.1") {
  return "http://" + host + ":9188/probe?" + query;
}

double secondsSince(steady_clock::time_point start) {
  return std::chrono::duration<double>(steady_clock::now() - start).count();
}

// The client's exporter, started and waited for until it answers.
::testing::AssertionResult startExporter(Program& exporter, const std::string& host = "127.0.0.1") {
  exporter.start({"--exporter", host + ":9188"});
  if (eventually([&] { return httpGet("http://" + host + ":9188/metrics").status == 200; })) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "the exporter did not answer:\n" << exporter.errors();
}

// Connections to 127.0.0.1:`port`, idle until told to send, closed when the object goes.
class Connections {
 public:
  Connections(std::uint16_t port, int count) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < count; ++i) {
      const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) opened_.push_back(fd);
      else if (fd >= 0) close(fd);
    }
  }
  ~Connections() { closeAll(); }
  int opened() const { return static_cast<int>(opened_.size()); }
  // `request` on every connection; false if one could not take it whole.
  bool sendToEach(const std::string& request) {
    for (const int fd : opened_) {
      if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) return false;
    }
    return true;
  }
  void closeAll() {
    for (const int fd : opened_) close(fd);
    opened_.clear();
  }

 private:
  std::vector<int> opened_;
};

// Idle connections hold a worker thread each until civetweb's request time-out cuts them: with
// more of them than either endpoint has threads, every scrape is still answered within 3 s (it
// waited 30 s for one of 2 threads before).
::testing::AssertionResult scrapesAnsweredBeside(std::uint16_t port, int idle) {
  const Connections held(port, idle);
  if (held.opened() != idle) return ::testing::AssertionFailure() << "only " << held.opened() << " connections opened";
  for (int scrape = 1; scrape <= 5; ++scrape) {
    const auto start = steady_clock::now();
    const HttpAnswer answer = httpGet("http://127.0.0.1:" + std::to_string(port) + "/metrics");
    const double took = secondsSince(start);
    if (answer.status != 200 || took >= 3.0) {
      return ::testing::AssertionFailure() << "scrape " << scrape << " beside " << idle << " idle connections: status "
                                           << answer.status << " after " << took << " s";
    }
  }
  return ::testing::AssertionSuccess();
}

class ExporterE2e : public ::testing::Test {
 protected:
  void SetUp() override { REQUIRE_PRIVATE_NETWORK(); }
  Program server{SERVER_PROGRAM};
  Program exporter{CLIENT_PROGRAM};
};

TEST_F(ExporterE2e, ProbesTheRealServerOverUdpTcpAndIcmpOfEitherFamily) {
  ASSERT_TRUE(startServer(server));
  ASSERT_TRUE(startExporter(exporter));
  for (const char* target : {"target=127.0.0.1", "target=%3A%3A1&family=ipv6"}) {
    for (const char* protocol : {"udp", "tcp", "icmp"}) {
      SCOPED_TRACE(std::string(target) + " " + protocol);
      const auto start = steady_clock::now();
      const HttpAnswer answer = httpGet(probeUrl(std::string(target) + "&protocol=" + protocol));
      ASSERT_EQ(answer.status, 200) << answer.body;
      auto got = samplesOf(answer.body);
      EXPECT_EQ(got["probe_success"], 1) << answer.body << exporter.output();
      EXPECT_EQ(got["probe_requests_sent"], 3);
      EXPECT_EQ(got["probe_answers_received"], 3);
      EXPECT_EQ(got["probe_loss_ratio"], 0);
      EXPECT_EQ(got["probe_start_failed"], 0);
      EXPECT_GT(got["probe_rtt_min_seconds"], 0);
      EXPECT_LE(got["probe_rtt_min_seconds"], got["probe_rtt_avg_seconds"]);
      EXPECT_LE(got["probe_rtt_avg_seconds"], got["probe_rtt_max_seconds"]);
      EXPECT_LT(got["probe_rtt_max_seconds"], 1);
      // Two pauses of 0.2 s between the three requests, none after the last.
      EXPECT_GE(got["probe_duration_seconds"], 0.4);
      EXPECT_LE(got["probe_duration_seconds"], secondsSince(start));
    }
  }
  // The terminal exchange needs port 855, which the server holds on this host: not started.
  auto terminal = samplesOf(httpGet(probeUrl("target=127.0.0.1&protocol=telm-udp&count=1")).body);
  EXPECT_EQ(terminal["probe_success"], 0);
  EXPECT_EQ(terminal["probe_start_failed"], 1);

  // The runs went to the client's log as every run does (its writer may still be at the last
  // line), and the exporter counted them.
  std::string log;
  eventually([&] { return occurrences(log = fromWindows1251(exporter.logBytes(ClientLogFileName)), "Ошибка bind 98") > 0; },
            milliseconds(5000));
  EXPECT_EQ(occurrences(log, "Получен ответ от сервера"), 18) << log;
  EXPECT_EQ(occurrences(log, "Соединение с ::1, порт 87"), 2) << log;
  EXPECT_EQ(occurrences(log, "Ошибка bind 98"), 1) << log;
  auto own = samplesOf(httpGet("http://127.0.0.1:9188/metrics").body);
  for (const char* protocol : {"udp", "tcp", "icmp"}) {
    const std::string labels = std::string("{protocol=\"") + protocol + "\"";
    EXPECT_EQ(own["connchk_exporter_probes_total" + labels + ",result=\"success\"}"], 2) << protocol;
    EXPECT_EQ(own["connchk_exporter_answers_received_total" + labels + "}"], 6) << protocol;
  }
  EXPECT_EQ(own["connchk_exporter_probes_total{protocol=\"telm-udp\",result=\"not-started\"}"], 1);
  EXPECT_EQ(own["connchk_exporter_probes_in_progress"], 0);
}

TEST_F(ExporterE2e, ABlockedPortFailsItsProbeWithinTheScrapeTimeOut) {
  ASSERT_TRUE(startServer(server));
  ASSERT_TRUE(startExporter(exporter));
  // UDP and TCP to 127.0.0.2 are dropped; 127.0.0.1 stays open.
  ASSERT_TRUE(runQuietly({"nft", "add table inet block; add chain inet block in { type filter hook input priority 0; };"
                                 " add rule inet block in ip daddr 127.0.0.2 udp dport 87 drop;"
                                 " add rule inet block in ip daddr 127.0.0.2 tcp dport 87 drop"}));
  for (const char* protocol : {"udp", "tcp"}) {
    const auto start = steady_clock::now();
    const HttpAnswer answer = httpGet(probeUrl(std::string("target=127.0.0.2&count=2&protocol=") + protocol),
                                      {"X-Prometheus-Scrape-Timeout-Seconds: 3"});
    const double took = secondsSince(start);
    ASSERT_EQ(answer.status, 200) << answer.body;
    auto got = samplesOf(answer.body);
    EXPECT_EQ(got["probe_success"], 0) << protocol << ":\n" << answer.body;
    EXPECT_EQ(got["probe_answers_received"], 0) << protocol;
    EXPECT_EQ(got["probe_start_failed"], 0) << protocol;
    EXPECT_FALSE(got.count("probe_rtt_avg_seconds")) << protocol;
    EXPECT_LT(took, 3.0) << protocol << ": a blocked path must not hold the scrape past its time-out";
    EXPECT_EQ(samplesOf(httpGet(probeUrl(std::string("target=127.0.0.1&count=1&protocol=") + protocol)).body)
                  ["probe_success"], 1) << protocol << " on the open address";
  }
  auto udp = samplesOf(httpGet(probeUrl("target=127.0.0.2&count=2&protocol=udp"), {"X-Prometheus-Scrape-Timeout-Seconds: 2"}).body);
  EXPECT_EQ(udp["probe_requests_sent"], 2);
  EXPECT_EQ(udp["probe_loss_ratio"], 1);
  EXPECT_EQ(udp["probe_verdict{verdict=\"fail\",reason=\"no-answer\"}"], 1) << "a path fault, with its reason";

  // A termination request while a probe waits for its answer ends the exporter cleanly and soon.
  const int sent = occurrences(exporter.output(), "Отослан запрос к серверу");
  auto waiting = std::async(std::launch::async, [] { return httpGet(probeUrl("target=127.0.0.2&protocol=udp&count=3")); });
  ASSERT_TRUE(exporter.waitForCount("Отослан запрос к серверу", sent + 1));
  exporter.signal(SIGTERM);
  const auto signalled = steady_clock::now();
  EXPECT_EQ(exporter.wait(milliseconds(10000)), 0) << exporter.errors();
  EXPECT_LT(secondsSince(signalled), 8.0) << "a stopped probe ends within its current wait (2.9 s here)";
  EXPECT_EQ(waiting.get().status, 200) << "the probe in progress is answered before the end";
  EXPECT_EQ(exporter.errors().find("Sanitizer"), std::string::npos) << exporter.errors();
}

TEST_F(ExporterE2e, MalformedQueriesGetAClearRefusal) {
  ASSERT_TRUE(startExporter(exporter));
  const struct {
    const char* query;
    const char* reason;
  } cases[] = {
      {"protocol=udp", "missing target"},
      {"target=127.0.0.1", "missing protocol"},
      {"target=127.0.0.1&protocol=http", "unknown protocol: use a short name (icmp, udp,"},
      {"target=127.0.0.1&protocol=udp&count=-1", "count must be a whole number from 1 to 20"},
      {"target=127.0.0.1&protocol=udp&count=many", "count must be a whole number from 1 to 20"},
      {"target=127.0.0.1&protocol=udp&size=99999", "size must be a whole number from 12 to 1500"},
  };
  for (const auto& c : cases) {
    const HttpAnswer answer = httpGet(probeUrl(c.query));
    EXPECT_EQ(answer.status, 400) << c.query;
    EXPECT_NE(answer.body.find(c.reason), std::string::npos) << c.query << " -> " << answer.body;
  }
  // A count that cannot fit in the scrape's own time-out is refused too.
  const HttpAnswer tight = httpGet(probeUrl("target=127.0.0.1&protocol=udp&count=20"),
                                   {"X-Prometheus-Scrape-Timeout-Seconds: 1"});
  EXPECT_EQ(tight.status, 400);
  EXPECT_NE(tight.body.find("within the scrape time-out"), std::string::npos) << tight.body;
  EXPECT_EQ(httpGet("http://127.0.0.1:9188/other").status, 404);
  auto own = samplesOf(httpGet("http://127.0.0.1:9188/metrics").body);
  EXPECT_EQ(own["connchk_exporter_queries_rejected_total"], std::size(cases) + 1);
  EXPECT_EQ(occurrences(fromWindows1251(exporter.logBytes(ClientLogFileName)), "Соединение"), 0) << "nothing ran";
}

TEST_F(ExporterE2e, ProbesRunSideBySide) {
  ASSERT_TRUE(startServer(server));
  ASSERT_TRUE(startExporter(exporter));
  const auto timeOne = [&] {
    const auto start = steady_clock::now();
    EXPECT_EQ(samplesOf(httpGet(probeUrl("target=127.0.0.1&protocol=udp&count=2")).body)["probe_success"], 1);
    return secondsSince(start);
  };
  const double one = timeOne();
  constexpr int Probes = 8;
  std::vector<std::future<HttpAnswer>> running;
  const auto start = steady_clock::now();
  for (int i = 0; i < Probes; ++i) {
    running.push_back(std::async(std::launch::async, [] { return httpGet(probeUrl("target=127.0.0.1&protocol=udp&count=2")); }));
  }
  for (auto& probe : running) {
    const HttpAnswer answer = probe.get();
    EXPECT_EQ(samplesOf(answer.body)["probe_answers_received"], 2) << answer.body;
  }
  // One after another they would take eight times as long; side by side, about as long as one.
  EXPECT_LT(secondsSince(start), one * Probes / 2) << "one probe took " << one << " s";
}

TEST_F(ExporterE2e, EndpointsThatCannotListenEndTheProgramWithStatus2) {
  ASSERT_TRUE(startExporter(exporter));
  Program second(CLIENT_PROGRAM);
  EXPECT_EQ(second.run({"--exporter", ExporterAt}), 2);
  EXPECT_NE(second.errors().find("Address already in use"), std::string::npos) << second.errors();
  for (const char* bad : {"192.0.2.99:9188", "localhost:9188", "70000"}) {
    Program refused(CLIENT_PROGRAM);
    EXPECT_EQ(refused.run({"--exporter", bad}), 2) << bad;
    EXPECT_NE(refused.errors().find(bad), std::string::npos) << refused.errors();
  }
}

TEST_F(ExporterE2e, IdleConnectionsDoNotStarveScrapes) {
  ASSERT_TRUE(startServer(server, {"--console", "--metrics", MetricsAt}));
  ASSERT_TRUE(startExporter(exporter));
  EXPECT_TRUE(scrapesAnsweredBeside(9187, 6));
  EXPECT_TRUE(scrapesAnsweredBeside(9187, 12));  // more than the server's 8 threads
  EXPECT_TRUE(scrapesAnsweredBeside(9188, 6));
  EXPECT_TRUE(scrapesAnsweredBeside(9188, 40));  // more than the exporter's 32
}

// Scrapers that give up before their probe ends close their connections: those probes are stopped
// at once and counted as dropped, and the exporter goes on answering.
TEST_F(ExporterE2e, AProbeWhoseScraperLeftIsDropped) {
  ASSERT_TRUE(startExporter(exporter));
  // UDP to 127.0.0.2 goes nowhere: each probe would wait its whole 9 s for answers.
  ASSERT_TRUE(runQuietly({"nft", "add table inet block; add chain inet block in { type filter hook input priority 0; };"
                                 " add rule inet block in ip daddr 127.0.0.2 udp dport 87 drop"}));
  constexpr int Scrapers = 20;
  Connections scrapers(9188, Scrapers);
  ASSERT_EQ(scrapers.opened(), Scrapers);
  ASSERT_TRUE(scrapers.sendToEach("GET /probe?target=127.0.0.2&protocol=udp HTTP/1.1\r\nHost: exporter\r\n\r\n"));
  const auto own = [] { return samplesOf(httpGet("http://127.0.0.1:9188/metrics").body); };
  ASSERT_TRUE(eventually([&] { return own()["connchk_exporter_probes_in_progress"] == Scrapers; }));
  scrapers.closeAll();
  const auto left = steady_clock::now();
  std::map<std::string, double> after;
  EXPECT_TRUE(eventually([&] { return (after = own())["connchk_exporter_probes_in_progress"] == 0; }))
      << after["connchk_exporter_probes_in_progress"] << " probes still run";
  EXPECT_LT(secondsSince(left), 4.0) << "stopped long before their 9 s";
  EXPECT_EQ(after["connchk_exporter_probes_dropped_total{protocol=\"udp\"}"], Scrapers);
  EXPECT_EQ(after["connchk_exporter_probes_total{protocol=\"udp\",result=\"failure\"}"], 0) << "none was answered";
}

// Port 855 of the client's host is taken by one terminal probe at a time: two asked at once both
// pass against a server on the other host.
TEST(ExporterTwoHostsE2e, TerminalProbesTakePort855InTurn) {
  TwoHosts bed;
  REQUIRE_TWO_HOSTS(bed);
  Program server(SERVER_PROGRAM);
  Program exporter(CLIENT_PROGRAM);
  bed.inHost(TwoHosts::Host::Server, [&] {
    ASSERT_TRUE(startServer(server));
  });
  bed.inHost(TwoHosts::Host::Client, [&] {
    ASSERT_TRUE(startExporter(exporter));
    std::vector<std::future<HttpAnswer>> running;
    for (const char* terminal : {"3", "4"}) {
      running.push_back(std::async(std::launch::async, [&bed, terminal] {
        HttpAnswer answer;
        bed.inHost(TwoHosts::Host::Client, [&] {
          answer = httpGet(probeUrl(std::string("protocol=telm-udp&count=2&target=") + TwoHosts::ServerAddress +
                                    "&terminal=" + terminal));
        });
        return answer;
      }));
    }
    for (auto& probe : running) {
      const HttpAnswer answer = probe.get();
      auto got = samplesOf(answer.body);
      EXPECT_EQ(got["probe_success"], 1) << answer.body << exporter.output();
      EXPECT_EQ(got["probe_answers_received"], 2);
    }
  });
  EXPECT_EQ(occurrences(fromWindows1251(exporter.logBytes(ClientLogFileName)), "Ошибка bind"), 0);
}

// A UDP socket bound to `at` that never answers: a name server that is there but silent.
platform::Socket silentUdpSocket(const platform::Address& at) {
  auto socket = platform::openSocket(at.family(), SOCK_DGRAM, 0);
  if (!socket || !platform::bindTo(socket->fd(), at)) return {};
  return std::move(*socket);
}

bool datagramWaiting(int fd) {
  pollfd waiting{fd, POLLIN, 0};
  return poll(&waiting, 1, 0) > 0;
}

// A name whose name server never answers: the lookup is given up when the probe's time is out
// (the resolver alone would wait 10 s and more), and a termination request ends the exporter at
// once while another such lookup is under way.
TEST(ExporterTwoHostsE2e, ALookupThatNeverEndsIsBoundByTheScrapeTimeOut) {
  TwoHosts bed;
  REQUIRE_TWO_HOSTS(bed);
  constexpr const char* SilentServer = "127.0.0.53";
  ASSERT_TRUE(bed.setNameServer(TwoHosts::Host::Client, SilentServer));
  Program exporter(CLIENT_PROGRAM);
  bed.inHost(TwoHosts::Host::Client, [&] {
    const platform::Socket silent = silentUdpSocket(literal(SilentServer, 53));
    ASSERT_TRUE(silent.valid());
    exporter.startThrough(bed.launcherIn(TwoHosts::Host::Client), {"--exporter", ExporterAt});
    ASSERT_TRUE(eventually([] { return httpGet("http://127.0.0.1:9188/metrics").status == 200; })) << exporter.errors();

    const auto start = steady_clock::now();
    const HttpAnswer answer = httpGet(probeUrl("target=silent.test&protocol=udp&count=1"),
                                      {"X-Prometheus-Scrape-Timeout-Seconds: 3"});
    EXPECT_LT(secondsSince(start), 3.0);
    EXPECT_EQ(answer.status, 200);
    auto got = samplesOf(answer.body);
    EXPECT_EQ(got["probe_success"], 0) << answer.body;
    EXPECT_EQ(got["probe_start_failed"], 1);
    EXPECT_EQ(got["probe_requests_sent"], 0);
    EXPECT_TRUE(datagramWaiting(silent.fd())) << "the name server was asked";

    auto waiting = std::async(std::launch::async, [&bed] {
      HttpAnswer late;
      bed.inHost(TwoHosts::Host::Client, [&] { late = httpGet(probeUrl("target=silent.test&protocol=tcp")); });
      return late;
    });
    ASSERT_TRUE(eventually([] {
      return samplesOf(httpGet("http://127.0.0.1:9188/metrics").body)["connchk_exporter_probes_in_progress"] == 1;
    }));
    exporter.signal(SIGTERM);
    EXPECT_EQ(exporter.wait(milliseconds(2000)), 0) << "SIGTERM ends the exporter within 2 s";
    EXPECT_EQ(waiting.get().status, 200) << "the probe under way is answered before the end";
  });
}

// Prometheus from Debian on a private port, its storage in its own folder, run with the
// configuration of deploy/prometheus: the same jobs, relabelling and rules, only the targets
// (this namespace's server) and a short interval are the test's own.
class Prometheus {
 public:
  static constexpr const char* At = "127.0.0.1:9090";

  Prometheus() : program_("prometheus", false) {}

  ::testing::AssertionResult start(const std::string& servers, const std::string& probes) {
    namespace fs = std::filesystem;
    const fs::path folder = program_.folder();
    fs::copy(fs::path(PROMETHEUS_DEPLOY_DIR) / "rules.yml", folder / "rules.yml");
    fs::create_directory(folder / "targets");
    std::string config = readFile(std::string(PROMETHEUS_DEPLOY_DIR) + "/prometheus.yml");
    for (const auto& [from, to] : {std::pair<std::string, std::string>{"scrape_interval: 30s", "scrape_interval: 4s"},
                                   {"scrape_timeout: 10s", "scrape_timeout: 4s"},
                                   {"evaluation_interval: 30s", "evaluation_interval: 4s"}}) {
      const auto at = config.find(from);
      if (at == std::string::npos) return ::testing::AssertionFailure() << "prometheus.yml has no " << from;
      config.replace(at, from.size(), to);
    }
    write("prometheus.yml", config);
    setTargets(servers, probes);
    program_.start({"--config.file=prometheus.yml", "--storage.tsdb.path=data", std::string("--web.listen-address=") + At});
    if (eventually([&] { return httpGet(std::string("http://") + At + "/-/ready").status == 200; }, milliseconds(30000))) {
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "Prometheus did not get ready:\n" << program_.errors();
  }

  // The target files, replaced whole (Prometheus watches them and follows).
  void setTargets(const std::string& servers, const std::string& probes) {
    write("targets/servers.yml", servers);
    write("targets/probes.yml", probes);
  }

  // An instant query through the HTTP API: each resulting series' value, keyed by `label`.
  std::map<std::string, double> query(const std::string& expression, const std::string& label) {
    std::string encoded;
    for (const unsigned char c : expression) {
      if (std::isalnum(c)) {
        encoded += static_cast<char>(c);
      } else {
        char escape[4];
        std::snprintf(escape, sizeof escape, "%%%02X", c);
        encoded += escape;
      }
    }
    const HttpAnswer answer = httpGet(std::string("http://") + At + "/api/v1/query?query=" + encoded);
    std::map<std::string, double> values;
    const auto json = nlohmann::json::parse(answer.body, nullptr, false);
    if (json.is_discarded() || json.value("status", "") != "success") return values;
    for (const auto& series : json["data"]["result"]) {
      values[series["metric"].value(label, "")] = std::stod(series["value"][1].get<std::string>());
    }
    return values;
  }

  std::string log() const { return program_.errors(); }

 private:
  void write(const std::string& name, const std::string& text) {
    const std::string path = program_.folder() + "/" + name;
    std::ofstream(path + ".new") << text;
    std::filesystem::rename(path + ".new", path);
  }

  Program program_;
};

// The whole watch of a path as an operator sets it up: Prometheus scrapes the server's metrics
// and probes the server over UDP, TCP and ICMP through the client's exporter.
TEST(PrometheusE2e, ScrapesTheServerAndProbesEveryPathThroughTheExporter) {
  REQUIRE_PRIVATE_NETWORK();
  Program server(SERVER_PROGRAM);
  Program exporter(CLIENT_PROGRAM);
  Prometheus prometheus;
  ASSERT_TRUE(startServer(server, {"--console", "--metrics", MetricsAt}));
  ASSERT_TRUE(startExporter(exporter));
  ASSERT_TRUE(runQuietly({"nft", "add table inet block; add chain inet block in { type filter hook input priority 0; };"
                                 " add rule inet block in ip daddr 127.0.0.2 udp dport 87 drop"}));
  const std::string servers = std::string("- targets: [") + MetricsAt + "]\n";
  ASSERT_TRUE(prometheus.start(servers,
                               "- labels: {protocol: udp, count: '2'}\n  targets: [127.0.0.1, 127.0.0.2]\n"
                               "- labels: {protocol: tcp, count: '2'}\n  targets: [127.0.0.1]\n"
                               "- labels: {protocol: icmp, count: '2'}\n  targets: [127.0.0.1]\n"));

  std::map<std::string, double> success;
  EXPECT_TRUE(eventually(
      [&] {
        success = prometheus.query("probe_success{job=\"connchk-probe\",instance=\"127.0.0.1\"}", "protocol");
        return success.size() == 3 && success["udp"] == 1 && success["tcp"] == 1 && success["icmp"] == 1;
      },
      milliseconds(40000)))
      << "probe_success by protocol: " << ::testing::PrintToString(success) << "\n" << prometheus.log();
  EXPECT_TRUE(eventually([&] { return prometheus.query("connchk_server_build_info", "instance")[MetricsAt] == 1; },
                        milliseconds(20000)))
      << "the server is scraped";
  std::map<std::string, double> blocked;
  EXPECT_TRUE(eventually(
      [&] {
        blocked = prometheus.query("probe_success{job=\"connchk-probe\",protocol=\"udp\"}", "instance");
        return blocked.count("127.0.0.2");
      },
      milliseconds(20000)))
      << "the blocked path's probe: " << ::testing::PrintToString(blocked) << "\n" << prometheus.log();
  EXPECT_EQ(blocked["127.0.0.2"], 0);

  // Stop probing, let the last probe end, and let Prometheus read both sides once more: then every
  // request the probes sent has been answered and counted by the server.
  prometheus.setTargets(servers, "[]\n");
  ASSERT_TRUE(eventually(
      [&] {
        return prometheus.query("up{job=\"connchk-probe\"}", "instance").empty() &&
               samplesOf(httpGet("http://127.0.0.1:9188/metrics").body)["connchk_exporter_probes_in_progress"] == 0;
      },
      milliseconds(30000)));
  const auto settled = steady_clock::now();
  const auto scrapedSince = [&](const std::string& job) {
    const auto last = prometheus.query("timestamp(up{job=\"" + job + "\"})", "job");
    const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    return last.count(job) && last.at(job) > now - std::chrono::duration<double>(steady_clock::now() - settled).count();
  };
  ASSERT_TRUE(eventually([&] { return scrapedSince("connchk-server") && scrapedSince("connchk-exporter"); },
                        milliseconds(20000)));
  auto answered = prometheus.query("connchk_server_requests_answered_total", "protocol");
  auto sent = prometheus.query("connchk_exporter_requests_sent_total", "protocol");
  auto accepted = prometheus.query("connchk_exporter_answers_received_total", "protocol");
  // TCP went to the open address only: every request sent was answered. UDP also went to the
  // blocked one, whose requests never reached the server: every answer accepted was one it sent.
  EXPECT_GE(sent["tcp"], 2);
  EXPECT_EQ(answered["tcp"], sent["tcp"]);
  EXPECT_GE(accepted["udp"], 2);
  EXPECT_EQ(answered["udp"], accepted["udp"]);
  EXPECT_GT(sent["udp"], accepted["udp"]);
}

}  // namespace
}  // namespace connchk::testing
