// The largest request each type carries (--mtu) over a routed chain whose last link, router 2 to
// the server, has an MTU of 1400: an honest router says so, one whose "fragmentation needed" /
// "packet too big" is dropped makes a black hole, and a lossy path must not shrink what is found.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <tuple>

#include <nlohmann/json.hpp>

#include "tests/support/echo_server.h"
#include "tests/support/private_network.h"
#include "tests/support/program.h"
#include "tests/support/routed_chain.h"

namespace connchk::testing {
namespace {

using nlohmann::json;
using Node = RoutedChain::Node;
using Words = std::vector<std::string>;

constexpr int LinkMtu = 1400;

struct Family {
  const char* server;
  const char* router2;  // where router 2's errors come from
};
const Family Families[] = {{RoutedChain::ServerAddress, RoutedChain::Router2Address},
                           {RoutedChain::ServerAddress6, RoutedChain::Router2Address6}};

// Router 2 keeps its word about the small link to itself.
const char* const SilentRouter =
    "table inet mute { chain out { type filter hook output priority 0; "
    "icmp type destination-unreachable icmp code frag-needed drop; icmpv6 type packet-too-big drop; }; }";

struct Measured {
  int status = -1;
  json document;
  std::map<std::string, json> types;  // by short name
};

Measured parse(const Program& client, int status) {
  Measured m;
  m.status = status;
  m.document = json::parse(client.output(), nullptr, false);
  if (m.document.is_discarded() || !m.document.contains("types")) {
    ADD_FAILURE() << "no document: " << client.output() << client.errors();
    return m;
  }
  for (const json& type : m.document["types"]) m.types[type["short_name"].get<std::string>()] = type;
  return m;
}

class MtuPath : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_PRIVATE_NETWORK();
    REQUIRE_CHAIN(chain);
    chain.inNode(Node::Server, [&] { ASSERT_TRUE(startServer(server)); });
  }

  // `client --mtu --json -W 0.3 ARGS` from the client's host.
  Measured measure(const Words& args) {
    Program client(CLIENT_PROGRAM);
    int status = -1;
    chain.inNode(Node::Client, [&] {
      client.start(with({"--mtu", "--json", "-W", "0.3"}, args));
      status = client.wait(std::chrono::milliseconds(90000));
    });
    return parse(client, status);
  }

  RoutedChain chain{RoutedChain::Options{.serverLinkMtu = LinkMtu}};
  Program server{SERVER_PROGRAM};
};

void expectPathMtu(const json& mtu) {
  ASSERT_TRUE(mtu.is_object()) << mtu.dump();
  const int found = mtu["path_mtu"].get<int>();
  EXPECT_LE(found, LinkMtu);
  EXPECT_GE(found, LinkMtu - 8);
}

TEST_F(MtuPath, AnHonestRouterNamesItsMtuToEveryTypeOverBothFamilies) {
  for (const Family& family : Families) {
    SCOPED_TRACE(family.server);
    // Through the client's interface to router 1 (-I): every probe's socket takes the way asked for.
    Measured m =
        measure({"-p", "udp", "-p", "raw53", "-p", "icmp", "-p", "telm-udp", "-p", "tcp", "-I", "r1", family.server});
    EXPECT_EQ(m.status, 0);
    for (const char* name : {"udp", "raw53", "icmp", "telm-udp"}) {
      SCOPED_TRACE(name);
      const json& mtu = m.types[name]["mtu"];
      expectPathMtu(mtu);
      EXPECT_EQ(mtu["path_mtu"], LinkMtu) << "the router's word is exact";
      EXPECT_EQ(mtu["reported_mtu"], LinkMtu);
      EXPECT_EQ(mtu["reported_by"], family.router2);
      EXPECT_FALSE(mtu["black_hole"].get<bool>());
      EXPECT_EQ(m.types[name]["verdict"], "honest");
    }
    // TCP's own discovery hears the router and cuts its segments down to the link.
    const json& tcp = m.types["tcp"]["mtu"];
    expectPathMtu(tcp);
    EXPECT_FALSE(tcp["black_hole"].get<bool>());
    EXPECT_EQ(tcp["reported_mtu"], LinkMtu);
  }
}

TEST_F(MtuPath, ASilentRouterIsABlackHoleAndTheLimitIsStillFoundOverBothFamilies) {
  ASSERT_TRUE(chain.nft(Node::Router2, SilentRouter));
  for (const Family& family : Families) {
    SCOPED_TRACE(family.server);
    Measured m = measure({"-p", "udp", "-p", "raw53", "-p", "icmp", "-p", "tcp", family.server});
    EXPECT_EQ(m.status, 1) << "a black hole is a fault of the path";
    for (const char* name : {"udp", "raw53", "icmp"}) {
      SCOPED_TRACE(name);
      const json& mtu = m.types[name]["mtu"];
      expectPathMtu(mtu);
      EXPECT_TRUE(mtu["black_hole"].get<bool>());
      EXPECT_TRUE(mtu["reported_mtu"].is_null());
      EXPECT_TRUE(mtu["reported_by"].is_null());
    }
    // The small link is the server's own: its MSS keeps TCP's segments within it all the same.
    const json& tcp = m.types["tcp"]["mtu"];
    expectPathMtu(tcp);
    EXPECT_FALSE(tcp["black_hole"].get<bool>());
    EXPECT_EQ(tcp["reported_by"], family.server);
  }
}

TEST_F(MtuPath, TcpFallsIntoABlackHoleInTheMiddleOfThePath) {
  // The small link moves between the routers, where the server's MSS knows nothing of it.
  for (const auto& [node, link, mtu] : {std::tuple{Node::Router2, "srv", "1500"}, std::tuple{Node::Server, "r2", "1500"},
                                        std::tuple{Node::Router1, "r2", "1400"}, std::tuple{Node::Router2, "r1", "1400"}}) {
    ASSERT_TRUE(chain.run(node, {"ip", "link", "set", link, "mtu", mtu}));
  }
  Measured honest = measure({"-p", "tcp", RoutedChain::ServerAddress});
  expectPathMtu(honest.types["tcp"]["mtu"]);
  EXPECT_EQ(honest.types["tcp"]["verdict"], "honest") << "TCP's own discovery hears router 1";
  ASSERT_TRUE(chain.nft(Node::Router1, SilentRouter));
  Measured silent = measure({"-p", "tcp", "-p", "udp", RoutedChain::ServerAddress6});
  for (const char* name : {"tcp", "udp"}) {
    SCOPED_TRACE(name);
    expectPathMtu(silent.types[name]["mtu"]);
    EXPECT_TRUE(silent.types[name]["mtu"]["black_hole"].get<bool>());
  }
}

TEST_F(MtuPath, OnePacketInFiveLostDoesNotMakeTheLimitSmaller) {
  // Router 1 drops every fifth packet it forwards, requests, answers and the router's errors alike.
  ASSERT_TRUE(chain.nft(Node::Router1, "table inet lossy { chain passing { type filter hook forward priority 0; "
                                       "numgen inc mod 5 == 0 drop; }; }"));
  for (const bool blackHole : {false, true}) {
    SCOPED_TRACE(blackHole ? "black hole" : "honest");
    if (blackHole) {
      ASSERT_TRUE(chain.nft(Node::Router2, SilentRouter));
    }
    Measured m = measure({"-p", "udp", RoutedChain::ServerAddress});
    const json& mtu = m.types["udp"]["mtu"];
    ASSERT_TRUE(mtu.is_object()) << m.document.dump();
    EXPECT_EQ(mtu["path_mtu"], LinkMtu);
    EXPECT_EQ(mtu["black_hole"], blackHole);
    EXPECT_GT(m.types["udp"]["tries"].get<int>(), 5) << "the path lost some: more tries than the 5 of a clean path";
  }
}

TEST_F(MtuPath, TheTerminalTableAndTheSweepMatrixShowEachTypesMtu) {
  ASSERT_TRUE(chain.nft(Node::Router2, SilentRouter));
  Program table(CLIENT_PROGRAM), sweep(CLIENT_PROGRAM);
  int sweepStatus = -1;
  chain.inNode(Node::Client, [&] {
    table.run({"--mtu", "-q", "-W", "0.3", "-p", "udp", "-p", "telm-udp", RoutedChain::ServerAddress},
              std::chrono::milliseconds(60000));
    sweepStatus = sweep.run({"--sweep", "--mtu", "--json", "-W", "0.3", "-c", "1", "--no-account", "-p", "udp", "-p",
                             "icmp", RoutedChain::ServerAddress},
                            std::chrono::milliseconds(60000));
  });
  EXPECT_NE(table.output().find("Наибольший запрос по типам протоколов (байт):"), std::string::npos) << table.output();
  EXPECT_NE(table.output().find("1372"), std::string::npos) << "the largest UDP request: " << table.output();
  EXPECT_NE(table.output().find("чёрная дыра MTU"), std::string::npos) << table.output();
  const std::string output = table.output();
  const std::size_t terminal = output.find("TELM-UDP ");
  ASSERT_NE(terminal, std::string::npos) << output;
  EXPECT_EQ(output.substr(terminal, output.find('\n', terminal) - terminal).find("1364    1400"), 15u)
      << "its request is 8 bytes longer than its size: " << output;

  // The matrix goes to the log (stderr beside --json): its MTU column marks the black hole.
  EXPECT_NE(sweep.errors().find("  MTU  "), std::string::npos) << sweep.errors();
  EXPECT_NE(sweep.errors().find("1400 ЧД"), std::string::npos) << sweep.errors();
  const Measured m = parse(sweep, sweepStatus);
  EXPECT_EQ(m.document["passed"], 2) << "small requests still pass";
  ASSERT_EQ(m.types.size(), 2u);
  for (const auto& [name, type] : m.types) {
    SCOPED_TRACE(name);
    EXPECT_EQ(type["verdict"], "pass");
    EXPECT_EQ(type["mtu"]["path_mtu"], LinkMtu);
    EXPECT_TRUE(type["mtu"]["black_hole"].get<bool>());
  }
}

// Ctrl-C ends every type's search at once, even while a try waits long for its answer.
TEST_F(MtuPath, StopEndsEveryTypeAtOnce) {
  ASSERT_TRUE(chain.nft(Node::Router2, SilentRouter));
  Program client(CLIENT_PROGRAM);
  int status = -1;
  chain.inNode(Node::Client, [&] {
    client.start({"--mtu", "-W", "30", "-p", "udp", "-p", "tcp", "-p", "icmp", RoutedChain::ServerAddress});
    ASSERT_TRUE(client.waitForOutput("Поиск наибольшего запроса"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // into a 30-second wait of a silent size
    client.signal(SIGINT);
    status = client.wait(std::chrono::milliseconds(5000));
  });
  EXPECT_NE(status, -1) << "still waiting after the stop: " << client.output();
  EXPECT_EQ(client.output().find("чёрная дыра MTU"), std::string::npos) << "a search cut short judges nothing";
  EXPECT_NE(client.output().find("не измерен: проверка остановлена"), std::string::npos) << client.output();
}

// A path of jumbo links: every service takes a 9000-byte request whole, the terminal exchange too
// (which cannot run with the server on the same host).
TEST(MtuJumbo, EveryDatagramServiceAnswersJumboRequestsWhole) {
  REQUIRE_PRIVATE_NETWORK();
  RoutedChain chain(RoutedChain::Options{.serverLinkMtu = 9100});
  REQUIRE_CHAIN(chain);
  for (const auto& [node, link] : {std::pair{Node::Client, "r1"}, std::pair{Node::Router1, "cli"},
                                   std::pair{Node::Router1, "r2"}, std::pair{Node::Router2, "r1"}}) {
    ASSERT_TRUE(chain.run(node, {"ip", "link", "set", link, "mtu", "9100"}));
  }
  Program server(SERVER_PROGRAM), client(CLIENT_PROGRAM);
  chain.inNode(Node::Server, [&] { ASSERT_TRUE(startServer(server)); });
  int status = -1;
  chain.inNode(Node::Client, [&] {
    status = client.run({"--mtu", "--json", "-W", "0.5", "-s", "9000", "-p", "udp", "-p", "telm-udp", "-p", "raw53",
                         RoutedChain::ServerAddress},
                        std::chrono::milliseconds(60000));
  });
  Measured m = parse(client, status);
  EXPECT_EQ(m.status, 0);
  for (const auto& [name, overhead] : std::map<std::string, int>{{"udp", 28}, {"telm-udp", 36}, {"raw53", 20}}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(m.types[name]["verdict"], "no-limit");
    EXPECT_EQ(m.types[name]["mtu"]["path_mtu"], 9000 + overhead);
  }
}

// Jumbo sizes: the server takes a datagram far larger than 2048 bytes whole and answers it whole,
// so that loopback (MTU 65536) shows no limit up to the largest size asked for.
TEST(MtuLoopback, TheServerAnswersJumboRequestsWhole) {
  REQUIRE_PRIVATE_NETWORK();
  Program server(SERVER_PROGRAM);
  ASSERT_TRUE(startServer(server));
  Program client(CLIENT_PROGRAM);
  const int status = client.run({"--mtu", "--json", "-W", "0.5", "-s", "9000", "-p", "udp", "-p", "raw53", "-p", "icmp",
                                 "127.0.0.1"},
                                std::chrono::milliseconds(60000));
  Measured m = parse(client, status);
  EXPECT_EQ(m.status, 0);
  for (const auto& [name, overhead] : std::map<std::string, int>{{"udp", 28}, {"raw53", 20}, {"icmp", 20}}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(m.types[name]["verdict"], "no-limit");
    EXPECT_EQ(m.types[name]["mtu"]["largest"], 9000);
    EXPECT_EQ(m.types[name]["mtu"]["path_mtu"], 9000 + overhead);
  }
  EXPECT_TRUE(server.waitForOutput("протокол IP-Клиент, 9000 байт данных")) << server.output();
}

}  // namespace
}  // namespace connchk::testing
