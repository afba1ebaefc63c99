// The sweep end to end: the real client sweeping the real server, on the two-host bed (where every
// type can pass) and on one host (where the terminal exchange cannot run), with and without the
// raw-socket right, and with one port blocked by a firewall rule.
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "client/protocol_catalogue.h"
#include "client/sweep.h"
#include "common/cp1251.h"
#include "common/platform/sockets.h"
#include "common/protocol.h"
#include "tests/support/peers.h"
#include "tests/support/echo_server.h"
#include "tests/support/private_network.h"
#include "tests/support/program.h"
#include "tests/support/rights.h"
#include "tests/support/two_hosts.h"

namespace connchk::testing {
namespace {

using Host = TwoHosts::Host;
using nlohmann::json;
using std::chrono::milliseconds;

// Short rounds, so that a sweep of fifteen types takes seconds.
const std::vector<std::string> QuickSweep = {"--sweep", "-c", "2", "-i", "0.2", "-W", "1", "--no-account"};

// The verdict of every type in a sweep's JSON, by short name.
std::map<std::string, json> typesByName(const json& sweep) {
  std::map<std::string, json> types;
  for (const json& type : sweep.at("types")) types[type.at("short_name").get<std::string>()] = type;
  return types;
}

// Every type of the catalogue stands in the document, in catalogue order, with the verdict of
// `verdictOf` and figures that agree with its rounds.
void expectVerdicts(const json& sweep, const std::function<std::string(const std::string&)>& verdictOf) {
  const auto catalogue = client::ProtocolCatalogue();
  ASSERT_EQ(sweep.at("types").size(), catalogue.size()) << sweep.dump(1);
  for (std::size_t i = 0; i < catalogue.size(); ++i) {
    const json& type = sweep["types"][i];
    const std::string name = catalogue[i].shortName;
    EXPECT_EQ(type["short_name"], name);
    EXPECT_EQ(type["protocol"], catalogue[i].number);
    EXPECT_EQ(type["verdict"], verdictOf(name)) << type.dump(1);
    const json& summary = type["summary"];
    EXPECT_EQ(summary["sent"], type["rounds"].size()) << name;
    int answered = 0;
    for (const json& round : type["rounds"]) answered += round["result"] == "answered";
    EXPECT_EQ(summary["answered"], answered) << name;
    if (type["verdict"] == "pass") {
      EXPECT_EQ(summary["sent"], 2) << name;
      EXPECT_GT(answered, 0) << name;
      EXPECT_GE(summary["rtt_us"]["median"].get<long long>(), 0) << name;
    }
  }
}

class SweepTwoHosts : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_PRIVATE_NETWORK();
    REQUIRE_TWO_HOSTS(bed);
    bed.inHost(Host::Server, [&] { ASSERT_TRUE(startServer(server)); });
    ASSERT_TRUE(server.running());
  }
  int sweep(Program& client, const std::vector<std::string>& args, const std::vector<std::string>& launcher = {},
            const char* target = TwoHosts::ServerAddress) {
    int status = -1;
    bed.inHost(Host::Client, [&] {
      client.startThrough(launcher, with(args, {target}));
      status = client.wait(milliseconds(90000));
    });
    return status;
  }

  TwoHosts bed;
  Program server{SERVER_PROGRAM};
};

// Over each family every type passes, and the server tells the client host's address in its own
// form; a raw datagram counts its IP header (20 bytes for IPv4, 40 for IPv6) with its payload.
TEST_F(SweepTwoHosts, EveryTypePassesAgainstAServerWithItsRightsOverEitherFamily) {
  const struct {
    const char* server;
    const char* client;
    int rawBytes;  // of a 32-byte raw request, as the server counts it
    int icmpBytes;  // of the ICMP echo, padded to 32 bytes
  } families[] = {{TwoHosts::ServerAddress, TwoHosts::ClientAddress, 52, 52},
                  {TwoHosts::ServerAddress6, TwoHosts::ClientAddress6, 72, 72}};
  for (const auto& family : families) {
    SCOPED_TRACE(family.server);
    Program client(CLIENT_PROGRAM);
    ASSERT_EQ(sweep(client, with(QuickSweep, {"--json"}), {}, family.server), 0) << client.errors();
    const json doc = json::parse(client.output());
    EXPECT_EQ(doc["kind"], "sweep");
    EXPECT_EQ(doc["parameters"]["address"], family.server);
    EXPECT_EQ(doc["parameters"]["count"], 2);
    EXPECT_EQ(doc["parameters"]["interval_ms"], 200);
    EXPECT_EQ(doc["passed"], 15);
    EXPECT_EQ(doc["exit_status"], 0);
    expectVerdicts(doc, [](const std::string&) { return "pass"; });
    // The human lines went to stderr and, as always, to the log file, matrix included.
    EXPECT_NE(client.errors().find("Проверка типа TELM-UDP, протокол №17"), std::string::npos);
    const std::string file = fromWindows1251(client.logBytes("client_log.txt"));
    EXPECT_NE(file.find("Пройдено 15, не пройдено 0, не проверено 0"), std::string::npos) << file;

    const std::string from = std::string("Принят пакет от ") + family.client + " (unresolved), протокол ";
    for (const std::string& line :
         {from + "IP-Клиент, 32 байт данных", from + "TCP, 32 байт данных", from + "TELM-UDP, 40 байт данных",
          from + "№53, " + std::to_string(family.rawBytes) + " байт данных",
          from + "№1, " + std::to_string(family.icmpBytes) + " байт данных",
          std::string("Статистика: ") + family.client + " размер "}) {
      // A TCP request's line comes when the request ends (its connection closes), just after the answer.
      EXPECT_TRUE(server.waitForOutput(line)) << line << "\n" << server.output();
    }
  }
}

// Without the raw-socket right the raw types cannot run; ICMP runs where ping_group_range lets the
// user's group echo, and otherwise says what is missing.
TEST_F(SweepTwoHosts, WithoutTheRawRightRawTypesAreNotRunAndIcmpNeedsThePingGroup) {
  const struct {
    const char* groups;
    bool icmpRuns;
    const char* totals;
  } cases[] = {{"1 0", false, "Пройдено 3, не пройдено 0, не проверено 12"},
               {"0 0", true, "Пройдено 4, не пройдено 0, не проверено 11"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.groups);
    bool set = false;
    bed.inHost(Host::Client, [&] { set = setPingGroupRange(c.groups); });
    ASSERT_TRUE(set);
    Program client(CLIENT_PROGRAM);
    ASSERT_EQ(sweep(client, with(QuickSweep, {"-q"}), DropRawRight), 0) << client.errors();
    // -q prints the matrix only: its title, header, one row per type and the totals.
    const auto lines = client.outputLines();
    ASSERT_EQ(lines.size(), 18u) << client.output();
    EXPECT_EQ(lines[0], "Итоги проверки по типам протоколов:");
    for (std::size_t i = 0; i < 15; ++i) {
      const std::string& row = lines[2 + i];
      const bool icmp = client::ProtocolCatalogue()[i].number == IcmpProtocol;
      std::string verdict = client::usesRawSocket(static_cast<int>(i))
                                ? "не проверен: нет права открывать raw-сокеты (CAP_NET_RAW)"
                                : "пройден";
      if (icmp) {
        verdict = c.icmpRuns ? "пройден"
                             : "не проверен: Нет права открыть сокет ICMP: нужно право CAP_NET_RAW (root или setcap "
                               "cap_net_raw+ep) либо группа пользователя (0) в net.ipv4.ping_group_range (сейчас 1 0)";
      }
      EXPECT_EQ(row.substr(row.size() - std::min(row.size(), verdict.size())), verdict) << row;
      EXPECT_EQ(row.rfind(client::ProtocolCatalogue()[i].text, 0), 0u) << row;
    }
    EXPECT_EQ(lines[17], c.totals);
  }
}

TEST(SweepOneHost, ABlockedPortFailsItsTypeOnlyAndTheTerminalExchangeCannotRunBesideTheServer) {
  REQUIRE_PRIVATE_NETWORK();
  Program server(SERVER_PROGRAM);
  ASSERT_TRUE(startServer(server));
  // This namespace's own firewall drops UDP to port 87: the UDP echo, and only it, goes unanswered.
  // The table goes with the test (the next test of this process shares the namespace).
  struct DropTable {
    ~DropTable() { runQuietly({"nft", "delete table inet sweep_test"}); }
  } dropTable;
  ASSERT_TRUE(runQuietly({"nft", "add table inet sweep_test"}));
  ASSERT_TRUE(runQuietly({"nft", "add chain inet sweep_test input { type filter hook input priority 0 ; }"}));
  ASSERT_TRUE(runQuietly({"nft", "add rule inet sweep_test input udp dport 87 drop"}));

  Program client(CLIENT_PROGRAM);
  EXPECT_EQ(client.run(with(QuickSweep, {"--json", "127.0.0.1"}), milliseconds(90000)), 1) << client.errors();
  const json doc = json::parse(client.output());
  expectVerdicts(doc, [](const std::string& name) {
    return name == "udp" ? "fail" : name == "telm-udp" ? "not-run" : "pass";
  });
  const auto types = typesByName(doc);
  EXPECT_EQ(types.at("udp")["reason_code"], "no-answer");
  EXPECT_EQ(types.at("udp")["summary"]["loss_percent"], 100.0);
  EXPECT_EQ(types.at("telm-udp")["reason_code"], "port-855-taken");
  EXPECT_EQ(types.at("telm-udp")["reason"], "порт 855 занят на этом хосте");
  EXPECT_TRUE(types.at("telm-udp")["rounds"].empty());
  EXPECT_EQ(doc["failed"], 1);
  EXPECT_EQ(doc["not_run"], 1);
  EXPECT_EQ(doc["exit_status"], 1);
}

// Port 855 is taken per family: an IPv4 holder (a client's terminal run over IPv4, say) leaves
// the IPv6 exchange free, an IPv6-only holder the IPv4 one; a socket of both families blocks both.
TEST(SweepOneHost, Port855IsTakenForTheFamiliesItsHolderServes) {
  REQUIRE_PRIVATE_NETWORK();
  using platform::Family;
  const struct {
    Family holder;
    bool ipv6Only;
    Family asked;
    bool runs;
  } cases[] = {{Family::IPv4, false, Family::IPv6, true},  {Family::IPv6, true, Family::IPv4, true},
               {Family::IPv4, false, Family::IPv4, false}, {Family::IPv6, false, Family::IPv4, false},
               {Family::IPv6, false, Family::IPv6, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << platform::familyName(c.holder) << (c.ipv6Only ? " only" : "") << " holds, "
                                      << platform::familyName(c.asked) << " asked");
    const platform::Socket holder = openedSocket(c.holder, SOCK_DGRAM);
    if (c.holder == Family::IPv6) {
      ASSERT_EQ(platform::setIPv6Only(holder.fd(), c.ipv6Only).code(), 0);
    }
    ASSERT_EQ(platform::bindTo(holder.fd(), platform::Address::any(c.holder, TerminalPort)).code(), 0);
    const auto blocked = client::notRunnable(client::TerminalUdpIndex, c.asked);
    EXPECT_EQ(!blocked, c.runs);
    if (blocked) {
      EXPECT_EQ(blocked->reasonCode, "port-855-taken");
    }
  }
}

TEST(SweepOneHost, CtrlCEndsTheTypeRunningAndLeavesTheRestNotRun) {
  REQUIRE_PRIVATE_NETWORK();
  UdpPeer server(EchoPort, echo);
  Program client(CLIENT_PROGRAM);
  client.start({"--sweep", "--json", "--no-account", "-p", "udp", "-p", "tcp", "-c", "50", "-i", "0.2"});
  ASSERT_TRUE(server.waitForCount(2));
  client.signal(SIGINT);
  ASSERT_EQ(client.wait(milliseconds(5000)), 0) << client.errors();
  const json doc = json::parse(client.output());
  ASSERT_EQ(doc["types"].size(), 2u);
  EXPECT_EQ(doc["types"][0]["verdict"], "pass");
  EXPECT_EQ(doc["types"][0]["stopped"], true);
  EXPECT_EQ(doc["types"][0]["summary"]["sent"], server.received().size());
  EXPECT_EQ(doc["types"][1]["verdict"], "not-run");
  EXPECT_EQ(doc["types"][1]["reason_code"], "stopped");
  EXPECT_NE(client.errors().find("(проверка остановлена)"), std::string::npos) << "the stopped run's summary";

  Program nowhere(CLIENT_PROGRAM);
  EXPECT_EQ(nowhere.run({"--sweep", "no-such-host.invalid"}), 2);
  const auto lines = withoutTimePrefixes(nowhere.outputLines());
  ASSERT_EQ(lines.size(), 2u) << nowhere.output();
  EXPECT_EQ(lines[0], "Невозможно определить адрес ВЕЛТ-IP для подключения");
  EXPECT_NE(lines[1].find("«no-such-host.invalid»"), std::string::npos) << "the input and the reason";
}

}  // namespace
}  // namespace connchk::testing
