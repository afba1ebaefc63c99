// The trace on a routed chain (client, router 1, router 2, server): the real client traces every
// type to the real server, and faults put on a router with nftables show up as the hop where each
// type stops, the router that refuses it, or a silent hop the trace goes past.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include <nlohmann/json.hpp>

#include "tests/support/echo_server.h"
#include "tests/support/http_get.h"
#include "tests/support/private_network.h"
#include "tests/support/program.h"
#include "tests/support/rights.h"
#include "tests/support/routed_chain.h"

namespace connchk::testing {
namespace {

using nlohmann::json;
using Node = RoutedChain::Node;
using Words = std::vector<std::string>;

struct Path {
  const char* server;
  const char* router1;
  const char* router2;
};
const Path Paths[] = {
    {RoutedChain::ServerAddress, RoutedChain::Router1Address, RoutedChain::Router2Address},
    {RoutedChain::ServerAddress6, RoutedChain::Router1Address6, RoutedChain::Router2Address6},
};
const Path& V4 = Paths[0];

struct Traced {
  int status = -1;
  json document;
  std::string output;  // the terminal's lines, without --json
  std::map<std::string, json> types;  // by short name
};

class TracePath : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_PRIVATE_NETWORK();
    REQUIRE_CHAIN(chain);
    chain.inNode(Node::Server, [&] { ASSERT_TRUE(startServer(server)); });
  }

  // `client --trace --json -W 1` from the client's host, through `launcher` (none: as root).
  Traced trace(const Words& args, const Words& launcher = {}) {
    Program client(CLIENT_PROGRAM);
    std::filesystem::permissions(client.folder(), std::filesystem::perms::others_all,
                                 std::filesystem::perm_options::add);
    Traced t;
    chain.inNode(Node::Client, [&] {
      client.startThrough(launcher, with({"--trace", "--json", "-W", "1"}, args));
      t.status = client.wait(std::chrono::milliseconds(60000));
    });
    t.document = json::parse(client.output(), nullptr, false);
    if (t.document.is_discarded() || !t.document.contains("types")) {
      ADD_FAILURE() << "no trace document: " << client.output() << client.errors();
      return t;
    }
    for (const json& type : t.document["types"]) t.types[type["short_name"].get<std::string>()] = type;
    return t;
  }

  // The terminal's own text of a trace, as an operator reads it.
  std::string terminalText(const Words& args) {
    Program client(CLIENT_PROGRAM);
    chain.inNode(Node::Client, [&] { client.run(with({"--trace", "-W", "1"}, args), std::chrono::milliseconds(60000)); });
    return client.output();
  }

  RoutedChain chain;
  Program server{SERVER_PROGRAM};
};

// The addresses of a type's hops, "*" for a silent one.
std::vector<std::string> hopAddresses(const json& type) {
  std::vector<std::string> out;
  for (const json& hop : type["trace"]["hops"]) out.push_back(hop["address"].is_null() ? "*" : hop["address"].get<std::string>());
  return out;
}

TEST_F(TracePath, AnOpenPathTakesEveryTypeToTheServerAtHopThreeOverBothFamilies) {
  for (const Path& path : Paths) {
    SCOPED_TRACE(path.server);
    const Traced t = trace({path.server});
    EXPECT_EQ(t.status, 0);
    ASSERT_EQ(t.types.size(), 15u);
    for (const auto& [name, type] : t.types) {
      SCOPED_TRACE(name);
      const json& trace = type["trace"];
      ASSERT_TRUE(trace.is_object()) << type.dump();
      EXPECT_TRUE(trace["reached"].get<bool>());
      EXPECT_EQ(trace["last_hop"], 3);
      EXPECT_EQ(trace["last_address"], path.server);
      EXPECT_TRUE(trace["stopped"].is_null());
      EXPECT_EQ(hopAddresses(type), (std::vector<std::string>{path.router1, path.router2, path.server}));
      EXPECT_EQ(trace["hops"][0]["said"], "время жизни истекло");
      EXPECT_EQ(trace["hops"][2]["said"], "ответ сервера");
      EXPECT_FALSE(trace["hops"][2]["rtt_us"].is_null());
    }
  }
}

TEST_F(TracePath, AllFifteenTypesTakeNoMoreHopRoundsThanTheSlowestOneAlone) {
  // Router 1 keeps its time exceeded to itself: every trace waits out hop 1 once (-W 1), and the
  // fifteen types wait it out together, in the same rounds as one type alone.
  ASSERT_TRUE(chain.nft(Node::Router1, "table inet quiet { chain out { type filter hook output priority 0; "
                                       "icmp type time-exceeded drop; icmpv6 type time-exceeded drop; }; }"));
  const Traced one = trace({"-p", "udp", V4.server});
  const Traced all = trace({V4.server});
  ASSERT_EQ(one.status, 0);
  ASSERT_EQ(all.status, 0);
  EXPECT_EQ(one.document["hop_rounds"], 3);
  EXPECT_EQ(all.document["hop_rounds"], one.document["hop_rounds"]) << "traced one after another, 15 types would take 45";
}

TEST_F(TracePath, ARouterThatDropsProtocol53IsWhereRaw53StopsWhileUdpGoesOn) {
  ASSERT_TRUE(chain.nft(Node::Router2, "table inet fault { chain forward { type filter hook forward priority 0; "
                                       "meta l4proto 53 drop; }; }"));
  const Traced t = trace({"-p", "raw53", "-p", "udp", V4.server});
  EXPECT_EQ(t.status, 1);
  const json& raw = t.types.at("raw53")["trace"];
  EXPECT_FALSE(raw["reached"].get<bool>());
  EXPECT_EQ(raw["stopped"], "silence");
  EXPECT_EQ(raw["last_hop"], 2);
  EXPECT_EQ(raw["last_address"], V4.router2);
  EXPECT_EQ(hopAddresses(t.types.at("raw53")), (Words{V4.router1, V4.router2, "*", "*", "*"}));
  EXPECT_TRUE(t.types.at("udp")["trace"]["reached"].get<bool>());

  const std::string text = terminalText({"-p", "raw53", V4.server});
  EXPECT_NE(text.find(std::string("обрывается после узла 2 (") + V4.router2 + "), дальше никто не отвечает"),
            std::string::npos)
      << text;
}

TEST_F(TracePath, TheExporterTellsTheLastHopOfATracedProbe) {
  ASSERT_TRUE(chain.nft(Node::Router2, "table inet fault { chain forward { type filter hook forward priority 0; "
                                       "meta l4proto 53 drop; }; }"));
  Program exporter(CLIENT_PROGRAM);
  std::map<std::string, double> raw, udp;
  chain.inNode(Node::Client, [&] {
    exporter.start({"--exporter", "127.0.0.1:9188"});
    ASSERT_TRUE(eventually([&] { return httpGet("http://127.0.0.1:9188/metrics").status == 200; }));
    // Scrape time-outs of 10 s: the run takes the first half, the trace (one second a hop) the second.
    const std::string probe = std::string("http://127.0.0.1:9188/probe?target=") + V4.server + "&count=1&trace=1";
    raw = samplesOf(httpGet(probe + "&protocol=raw53", {"X-Prometheus-Scrape-Timeout-Seconds: 10"}).body);
    udp = samplesOf(httpGet(probe + "&protocol=udp", {"X-Prometheus-Scrape-Timeout-Seconds: 10"}).body);
  });
  EXPECT_EQ(raw["probe_success"], 0);
  EXPECT_EQ(raw["probe_trace_last_hop"], 2);
  EXPECT_EQ(raw["probe_trace_reached"], 0);
  EXPECT_EQ(udp["probe_success"], 1);
  EXPECT_EQ(udp["probe_trace_last_hop"], 3);
  EXPECT_EQ(udp["probe_trace_reached"], 1);
}

TEST_F(TracePath, ARouterThatRejectsTcpIsNamedWithItsReasonOverBothFamilies) {
  ASSERT_TRUE(chain.nft(Node::Router1, "table inet fault { chain forward { type filter hook forward priority 0; "
                                       "tcp dport 87 reject with icmpx admin-prohibited; }; }"));
  for (const Path& path : Paths) {
    SCOPED_TRACE(path.server);
    const Traced t = trace({"-p", "tcp", "-p", "udp", path.server});
    EXPECT_EQ(t.status, 1);
    const json& tcp = t.types.at("tcp")["trace"];
    EXPECT_FALSE(tcp["reached"].get<bool>());
    EXPECT_EQ(tcp["stopped"], "refused");
    EXPECT_EQ(tcp["refused_with"], "административно запрещено");
    // TTL 1 ends at router 1 before its filter; TTL 2 passes that and meets the rule, so router 1
    // answers for both hops, as traceroute shows it.
    EXPECT_EQ(hopAddresses(t.types.at("tcp")), (Words{path.router1, path.router1}));
    EXPECT_EQ(tcp["last_hop"], 2);
    EXPECT_EQ(tcp["last_address"], path.router1);
    EXPECT_TRUE(t.types.at("udp")["trace"]["reached"].get<bool>());
  }
  const std::string text = terminalText({"-p", "tcp", V4.server});
  EXPECT_NE(text.find(std::string("отвергнут на узле 2 адресом ") + V4.router1 + ": административно запрещено"),
            std::string::npos)
      << text;
}

TEST_F(TracePath, ARouterThatSendsNoTimeExceededIsAStarAndTheTraceGoesOn) {
  ASSERT_TRUE(chain.nft(Node::Router2, "table inet quiet { chain out { type filter hook output priority 0; "
                                       "icmp type time-exceeded drop; icmpv6 type time-exceeded drop; }; }"));
  for (const Path& path : Paths) {
    SCOPED_TRACE(path.server);
    const Traced t = trace({"-p", "udp", "-p", "icmp", "-p", "raw117", path.server});
    EXPECT_EQ(t.status, 0);
    for (const auto& [name, type] : t.types) {
      SCOPED_TRACE(name);
      EXPECT_EQ(hopAddresses(type), (Words{path.router1, "*", path.server}));
      EXPECT_TRUE(type["trace"]["hops"][1]["said"].is_null());
      EXPECT_TRUE(type["trace"]["reached"].get<bool>());
    }
  }
}

TEST_F(TracePath, WithoutRightsUdpAndTcpAreTracedAndTheOthersSayWhyNot) {
  const Traced t = trace({"-p", "udp", "-p", "tcp", "-p", "raw53", "-p", "telm-udp", V4.server}, withoutRights());
  EXPECT_EQ(t.status, 0) << "every type that could be traced reached the server";
  for (const char* name : {"udp", "tcp"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(hopAddresses(t.types.at(name)), (Words{V4.router1, V4.router2, V4.server}));
  }
  EXPECT_TRUE(t.types.at("raw53")["trace"].is_null());
  EXPECT_EQ(t.types.at("raw53")["reason_code"], "no-raw-right");
  EXPECT_EQ(t.types.at("raw53")["reason"], "нет права открывать raw-сокеты (CAP_NET_RAW)");
  EXPECT_EQ(t.types.at("telm-udp")["reason_code"], "no-port-855-right");
}

}  // namespace
}  // namespace connchk::testing
