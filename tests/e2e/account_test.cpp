// The server's account of what it received, through a routed chain of namespaces: the real client
// against the real server with nftables faults on the routers, and what the account tells (and
// keeps from) a host that asks.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "client/account.h"
#include "common/platform/sockets.h"
#include "common/protocol.h"
#include "server/account_store.h"
#include "tests/support/echo_server.h"
#include "tests/support/http_get.h"
#include "tests/support/private_network.h"
#include "tests/support/program.h"
#include "tests/support/routed_chain.h"
#include "tests/support/udp_sniffer.h"

namespace connchk::testing {
namespace {

using Node = RoutedChain::Node;
using json = nlohmann::json;

constexpr int Rounds = 4;

struct Checked {
  int status = -1;
  json doc;
  std::string log;  // with --json the log lines go to stderr
};

class AccountPath : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_PRIVATE_NETWORK();
    REQUIRE_CHAIN(chain);
    chain.inNode(Node::Server, [&] { ASSERT_TRUE(startServer(server)); });
  }

  // Rounds of `type` against `target` from the client's host, as JSON.
  Checked check(const std::string& type, const std::string& target, const std::vector<std::string>& more = {}) {
    Program client(CLIENT_PROGRAM);
    Checked c;
    const auto args = with({"--json", "-c", std::to_string(Rounds), "-i", "0.2", "-W", "1", "-p", type, target}, more);
    chain.inNode(Node::Client, [&] { c.status = client.run(args); });
    c.doc = json::parse(client.output(), nullptr, false);
    c.log = client.errors();
    return c;
  }

  // The exporter's figures for a probe of `type` from the client's host, where the exporter runs.
  std::map<std::string, double> probed(const std::string& type) {
    Program exporter(CLIENT_PROGRAM);
    exporter.startThrough(chain.launcherIn(Node::Client), {"--exporter", "127.0.0.1:9188"});
    std::map<std::string, double> got;
    chain.inNode(Node::Client, [&] {
      EXPECT_TRUE(eventually([] { return httpGet("http://127.0.0.1:9188/metrics").status == 200; }));
      got = samplesOf(httpGet(std::string("http://127.0.0.1:9188/probe?count=4&protocol=") + type +
                              "&target=" + RoutedChain::ServerAddress).body);
    });
    return got;
  }

  bool fault(Node node, const std::string& rule) {
    return chain.nft(node, "table inet fault { chain forward { type filter hook forward priority 0; " + rule + "; }; }");
  }

  RoutedChain chain;
  Program server{SERVER_PROGRAM};
};

TEST_F(AccountPath, OpenPathReachesAllWithTheTtlOfTwoRouters) {
  for (const char* type : {"udp", "tcp", "raw53", "telm-udp"}) {
    const Checked c = check(type, RoutedChain::ServerAddress);
    const json& a = c.doc["account"];
    ASSERT_TRUE(a.is_object()) << type << c.log;
    EXPECT_EQ(c.doc["summary"]["answered"], Rounds) << type;
    EXPECT_EQ(a["reached"], Rounds) << type;
    EXPECT_EQ(a["lost_there"], 0) << type;
    EXPECT_EQ(a["lost_back"], 0) << type;
    EXPECT_EQ(a["ttl"], 62) << type << ": 64 less the two routers";
    EXPECT_EQ(a["sizes"].size(), static_cast<std::size_t>(Rounds)) << type;
    EXPECT_EQ(a["seen_as"].get<std::string>().rfind(RoutedChain::ClientAddress, 0), 0u) << type << a["seen_as"];
    EXPECT_NE(c.log.find("Отчет сервера: TTL по прибытии 62, маршрутизаторов на пути 2"), std::string::npos) << type;
    EXPECT_EQ(c.log.find("NAT"), std::string::npos) << type;
  }
}

TEST_F(AccountPath, AnswersDroppedOnTheWayBackAreToldApart) {
  ASSERT_TRUE(fault(Node::Router1, "udp sport 87 drop"));
  const Checked c = check("udp", RoutedChain::ServerAddress);
  EXPECT_EQ(c.status, 1) << "the verdict is the run's own";
  EXPECT_EQ(c.doc["summary"]["answered"], 0);
  EXPECT_EQ(c.doc["account"]["reached"], Rounds);
  EXPECT_EQ(c.doc["account"]["lost_back"], Rounds);
  EXPECT_NE(c.log.find("Отчет сервера: запросы доходят, ответы теряются на обратном пути"), std::string::npos) << c.log;
  auto probe = probed("udp");
  EXPECT_EQ(probe["probe_success"], 0);
  EXPECT_EQ(probe["probe_lost_there"], 0);
  EXPECT_EQ(probe["probe_lost_back"], Rounds);
}

TEST_F(AccountPath, RequestsDroppedOnTheWayThereReachNothing) {
  ASSERT_TRUE(fault(Node::Router2, "udp dport 87 drop"));
  const Checked c = check("udp", RoutedChain::ServerAddress);
  EXPECT_EQ(c.doc["account"]["reached"], 0);
  EXPECT_EQ(c.doc["account"]["lost_there"], Rounds);
  EXPECT_TRUE(c.doc["account"]["seen_as"].is_null());
  EXPECT_NE(c.log.find("Отчет сервера: запросы теряются на пути к серверу"), std::string::npos) << c.log;
  auto probe = probed("udp");
  EXPECT_EQ(probe["probe_lost_there"], Rounds);
  EXPECT_EQ(probe["probe_lost_back"], 0);
}

TEST_F(AccountPath, AMasqueradeShowsAsTheRoutersAddress) {
  ASSERT_TRUE(chain.nft(Node::Router2, "table ip nat { chain postrouting { type nat hook postrouting priority 100; "
                                       "oifname \"srv\" masquerade; }; }"));
  const Checked udp = check("udp", RoutedChain::ServerAddress);
  EXPECT_EQ(udp.doc["summary"]["answered"], Rounds) << "a NAT carries the echo both ways";
  EXPECT_EQ(udp.doc["account"]["seen_as"].get<std::string>().rfind("192.0.2.254:", 0), 0u) << udp.doc["account"];
  EXPECT_NE(udp.log.find("Отчет сервера: сервер видит вас как 192.0.2.254:"), std::string::npos);
  EXPECT_NE(udp.log.find("Отчет сервера: адрес изменён по пути (NAT)"), std::string::npos);

  // The terminal exchange answers from port 856, which the NAT does not map back to the client.
  const Checked telm = check("telm-udp", RoutedChain::ServerAddress);
  EXPECT_EQ(telm.doc["summary"]["answered"], 0);
  EXPECT_EQ(telm.doc["account"]["lost_back"], Rounds);
  EXPECT_NE(telm.log.find("Отчет сервера: TELM-UDP за NAT: сервер отвечает с порта 856"), std::string::npos) << telm.log;
}

TEST_F(AccountPath, ARewrittenDscpIsSaid) {
  const Checked kept = check("udp", RoutedChain::ServerAddress, {"--tos", "184"});
  EXPECT_EQ(kept.doc["account"]["tos"], 184);
  EXPECT_NE(kept.log.find("Отчет сервера: DSCP отправлен 46, получен 46"), std::string::npos);

  ASSERT_TRUE(fault(Node::Router1, "ip dscp set cs0"));
  const Checked rewritten = check("udp", RoutedChain::ServerAddress, {"--tos", "184"});
  EXPECT_EQ(rewritten.doc["summary"]["answered"], Rounds);
  EXPECT_EQ(rewritten.doc["account"]["tos"], 0);
  EXPECT_NE(rewritten.log.find("Отчет сервера: DSCP отправлен 46, получен 0: изменён по пути"), std::string::npos);
}

TEST_F(AccountPath, IcmpAndIpv6AccountsTellHopLimitAndTrafficClass) {
  const Checked icmp = check("icmp", RoutedChain::ServerAddress);
  EXPECT_EQ(icmp.doc["account"]["reached"], Rounds) << icmp.log;
  EXPECT_EQ(icmp.doc["account"]["ttl"], 62);
  EXPECT_EQ(icmp.doc["account"]["seen_as"], RoutedChain::ClientAddress) << "raw requests have no port";

  for (const char* type : {"icmp", "raw53", "udp", "tcp"}) {
    const Checked six = check(type, RoutedChain::ServerAddress6, {"-Q", "184"});
    const json& a = six.doc["account"];
    ASSERT_TRUE(a.is_object()) << type << six.log;
    EXPECT_EQ(a["reached"], Rounds) << type;
    EXPECT_EQ(a["ttl"], 62) << type << ": the hop limit";
    EXPECT_EQ(a["tos"], 184) << type << ": the traffic class";
    EXPECT_NE(a["seen_as"].get<std::string>().find(RoutedChain::ClientAddress6), std::string::npos) << type;
  }
}

// A request of the test's own with a known identity, sent from the client's host.
std::uint64_t sendRequestFromClient(const RoutedChain& chain) {
  const std::uint64_t identity = SendTimestamp();
  chain.inNode(Node::Client, [&] {
    EchoPeer peer(SOCK_DGRAM, RoutedChain::ServerAddress);
    Bytes request(32, 0);
    buildEchoRequest(request.data(), identity);
    EXPECT_TRUE(peer.answers(request));
  });
  return identity;
}

std::optional<std::vector<RequestArrival>> askFrom(const RoutedChain& chain, Node node, std::uint64_t identity) {
  std::optional<std::vector<RequestArrival>> told;
  const std::vector<std::uint64_t> ids = {identity};
  chain.inNode(node, [&] {
    const platform::StopEvent never;
    told = client::askAccount(platform::Address::parse(RoutedChain::ServerAddress).value(), ids, 2000, never);
  });
  return told;
}

TEST_F(AccountPath, AnotherHostLearnsNothingOfARequestItKnowsTheIdentityOf) {
  const std::uint64_t identity = sendRequestFromClient(chain);
  const auto stranger = askFrom(chain, Node::Router1, identity);
  ASSERT_TRUE(stranger && stranger->size() == 1);
  EXPECT_EQ((*stranger)[0], RequestArrival{.identity = identity}) << "nothing but the identity it named";
  const auto owner = askFrom(chain, Node::Client, identity);
  ASSERT_TRUE(owner && owner->size() == 1);
  EXPECT_TRUE((*owner)[0].arrived);
  EXPECT_EQ((*owner)[0].ttl, 62);
}

// Many sources (addresses the client's host takes on for the test; router 1 knows them without
// asking) flood UDP 87 with queries:
// only those padded to their answer's length are answered, each with no more than it carried,
// and each source gets its allowance and no more.
TEST_F(AccountPath, AUdpQueryFloodIsRateLimitedAndNeverAmplified) {
  constexpr int Sources = 8, QueriesEach = 30;
  std::vector<std::string> sources;
  for (int i = 0; i < Sources; ++i) {
    sources.push_back("198.51.100." + std::to_string(10 + i));
    ASSERT_TRUE(chain.run(Node::Client, {"ip", "addr", "add", sources.back() + "/24", "dev", "r1"}));
    ASSERT_TRUE(chain.run(Node::Router1, {"ip", "neigh", "replace", sources.back(), "lladdr", "02:00:00:00:01:01", "dev", "cli", "nud", "permanent"}));
  }
  const std::vector<std::uint64_t> ids(10, 1);
  const auto padded = writeAccountQuery(1, ids, accountAnswerLength(ids.size()));
  const auto bare = writeAccountQuery(1, ids);
  std::map<std::string, int> answered;
  chain.inNode(Node::Client, [&] {
    UdpSniffer sniffer;
    const auto server = platform::Address::parse(RoutedChain::ServerAddress, EchoPort).value();
    const auto started = std::chrono::steady_clock::now();
    for (const std::string& source : sources) {
      UdpSender sender(source.c_str(), 0);
      for (int q = 0; q < QueriesEach; ++q) {
        sender.send(bare, server);
        sender.send(padded, server);
        // Paced, so that what the server does not answer it refused rather than lost to a full buffer.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    ASSERT_TRUE(sniffer.waitFor(fromPort(EchoPort), Sources));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // stragglers
    for (const WireDatagram& d : sniffer.seen()) {
      if (d.sourcePort != EchoPort) continue;
      EXPECT_LE(d.payload.size(), padded.size()) << "never more than a query carried";
      EXPECT_TRUE(readAccountAnswer(d.payload.data(), d.payload.size()));
      ++answered[d.destination.text()];
    }
    using connchk::server::QueryRateLimit;
    const int allowance = QueryRateLimit::Burst + static_cast<int>(seconds * QueryRateLimit::PerSecond) + 1;
    for (const std::string& source : sources) {
      EXPECT_GE(answered[source], 1) << source;
      EXPECT_LE(answered[source], allowance) << source << " sent " << QueriesEach << " padded queries";
    }
  });
  EXPECT_TRUE(server.waitForOutput("Запрос отчета о приеме от 198.51.100.10 отклонен: "));
}

// A peer that echoes whatever comes, as an original server never would, and knows no account.
TEST(AccountOfAnOriginalPeer, LeavesTheVerdictAndSaysSo) {
  REQUIRE_PRIVATE_NETWORK();
  UdpPeer udp(EchoPort, echo);
  TcpPeer tcp(EchoPort, echo);
  Program client(CLIENT_PROGRAM);
  EXPECT_EQ(client.run({"--json", "-c", "2", "-i", "0.2", "-W", "1", "127.0.0.1"}), 0);
  const json doc = json::parse(client.output());
  EXPECT_EQ(doc["summary"]["answered"], 2);
  EXPECT_TRUE(doc["account"].is_null());
  EXPECT_NE(client.errors().find("Отчет сервера: сервер не сообщает, что получил"), std::string::npos);

  Program declined(CLIENT_PROGRAM);
  EXPECT_EQ(declined.run({"--console", "-c", "1", "--no-account", "127.0.0.1"}), 0);
  EXPECT_EQ(declined.output().find("Отчет сервера"), std::string::npos);
  EXPECT_EQ(tcp.received().size(), 1u) << "one query, and none with --no-account";
}

}  // namespace
}  // namespace connchk::testing
