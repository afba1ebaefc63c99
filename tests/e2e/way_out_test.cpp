// The way out (-I, --ttl, --sweep --via) on a client with two links: "r1" through router 1, which
// drops protocol 53 here, and "r2" straight to router 2, the server's router.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/echo_server.h"
#include "tests/support/http_get.h"
#include "tests/support/private_network.h"
#include "tests/support/program.h"
#include "tests/support/routed_chain.h"

namespace connchk::testing {
namespace {

using Node = RoutedChain::Node;

class WayOut : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_PRIVATE_NETWORK();
    REQUIRE_CHAIN(chain);
    ASSERT_TRUE(chain.nft(Node::Router1, "table inet fault { chain forward { type filter hook forward priority 0; "
                                         "meta l4proto 53 drop; }; }"));
    chain.inNode(Node::Server, [&] { ASSERT_TRUE(startServer(server)); });
  }
  // The client run on the client's host with `args` and a short wait; its exit status.
  int check(Program& client, const std::vector<std::string>& args) {
    int status = -1;
    chain.inNode(Node::Client, [&] { status = client.run(with({"--console", "-W", "1", "-i", "0.2"}, args)); });
    return status;
  }
  int check(const std::vector<std::string>& args) {
    Program client(CLIENT_PROGRAM);
    return check(client, args);
  }

  RoutedChain chain{RoutedChain::Options{.secondClientLink = true}};
  Program server{SERVER_PROGRAM};
};

TEST_F(WayOut, ByInterfaceTheRequestsLeaveByThatLink) {
  EXPECT_EQ(check({"-p", "raw53", "-I", "r1", RoutedChain::ServerAddress}), 1) << "router 1 drops protocol 53";
  EXPECT_EQ(check({"-p", "raw53", "-I", "r2", RoutedChain::ServerAddress}), 0);
  EXPECT_EQ(check({"-p", "raw53", "-I", "r2", RoutedChain::ServerAddress6}), 0);
  // The connection line names the way; the server sees the link's own address.
  Program client(CLIENT_PROGRAM);
  EXPECT_EQ(check(client, {"-p", "udp", "-I", "r2", RoutedChain::ServerAddress}), 0);
  EXPECT_NE(client.output().find(std::string("Соединение с ") + RoutedChain::ServerAddress +
                                 ", порт 87 через интерфейс r2 (свой порт "),
            std::string::npos)
      << client.output();
  EXPECT_TRUE(server.waitForOutput(std::string("Принят пакет от ") + RoutedChain::SecondClientAddress));
  // The server's account is asked for by the same way: it tells about requests from that address.
  EXPECT_NE(client.output().find("Отчет сервера: запросов дошло до сервера 1 из 1"), std::string::npos) << client.output();
}

TEST_F(WayOut, ByAddressTheServerNamesThatAddressAsTheSender) {
  // The table still routes through router 1 (the lower metric); only the source is the r2 link's.
  Program client(CLIENT_PROGRAM);
  EXPECT_EQ(check(client, {"-p", "udp", "-I", RoutedChain::SecondClientAddress, RoutedChain::ServerAddress}), 0);
  EXPECT_NE(client.output().find(std::string(" с адреса ") + RoutedChain::SecondClientAddress), std::string::npos)
      << client.output();
  EXPECT_TRUE(server.waitForOutput(std::string("Принят пакет от ") + RoutedChain::SecondClientAddress));
  EXPECT_EQ(occurrences(server.output(), std::string("Принят пакет от ") + RoutedChain::ClientAddress), 0);
  EXPECT_NE(client.output().find(std::string("Отчет сервера: сервер видит вас как ") + RoutedChain::SecondClientAddress +
                                 ":"),
            std::string::npos)
      << client.output();
  // The terminal exchange keeps its port 855, on that address.
  Program terminal(CLIENT_PROGRAM);
  EXPECT_EQ(check(terminal, {"-p", "telm-udp", "-I", RoutedChain::SecondClientAddress6, RoutedChain::ServerAddress6}), 0);
  EXPECT_NE(terminal.output().find("(свой порт 855)"), std::string::npos) << terminal.output();
  EXPECT_TRUE(server.waitForOutput(std::string("Принят пакет от ") + RoutedChain::SecondClientAddress6));
}

TEST_F(WayOut, ASweepThroughBothLinksMarksWhatDiffers) {
  Program client(CLIENT_PROGRAM);
  EXPECT_EQ(check(client, {"--sweep", "--json", "-c", "1", "-p", "udp", "-p", "raw53", "-p", "tcp", "--via", "r1",
                           "--via", "r2", RoutedChain::ServerAddress}),
            1);
  const auto document = nlohmann::json::parse(client.output());
  ASSERT_EQ(document["ways"].size(), 2u);
  EXPECT_EQ(document["ways"][0]["via"], "r1");
  EXPECT_EQ(document["ways"][1]["via"], "r2");
  const std::vector<std::string> verdicts1 = {"pass", "fail", "pass"}, verdicts2 = {"pass", "pass", "pass"};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(document["ways"][0]["types"][i]["verdict"], verdicts1[i]) << i;
    EXPECT_EQ(document["ways"][1]["types"][i]["verdict"], verdicts2[i]) << i;
  }
  EXPECT_EQ(document["differing"], nlohmann::json::array({"raw53"}));
  // The compared matrix closes the log: the raw53 line marked, the udp line not.
  const auto lines = withoutTimePrefixes(splitLines(client.errors()));
  const auto header = std::find(lines.begin(), lines.end(), "Сравнение путей по типам протоколов:");
  ASSERT_GE(lines.end() - header, 6) << client.errors();
  EXPECT_EQ(header[1].rfind("Тип протокола", 0), 0u) << header[1];
  EXPECT_NE(header[1].find("r1"), std::string::npos) << header[1];
  EXPECT_EQ(header[2].rfind("IP-Клиент", 0), 0u) << header[2];
  EXPECT_EQ(header[2].find("различается"), std::string::npos) << header[2];
  EXPECT_EQ(header[3].rfind("ВЕЛТ-IP ", 0), 0u) << header[3];
  EXPECT_NE(header[3].find("различается"), std::string::npos) << header[3];
}

TEST_F(WayOut, TtlOneDiesOnTheFirstRouterTtl64Arrives) {
  // The first router tells why: its "time exceeded" is said for each round. (Over IPv6 the table
  // prefers r2, whose default route has the lower metric there: r1 is named.)
  for (const auto& [target, router] : {std::pair{RoutedChain::ServerAddress, "ICMP от " + std::string(RoutedChain::Router1Address)},
                                       std::pair{RoutedChain::ServerAddress6, "ICMPv6 от " + std::string(RoutedChain::Router1Address6)}}) {
    Program client(CLIENT_PROGRAM);
    EXPECT_EQ(check(client, {"-p", "udp", "-c", "2", "--ttl", "1", "-I", "r1", target}), 1) << target;
    EXPECT_EQ(occurrences(client.output(), "Сообщение " + router + ": время жизни истекло"), 2) << client.output();
  }
  for (const char* target : {RoutedChain::ServerAddress, RoutedChain::ServerAddress6}) {
    EXPECT_EQ(check({"-p", "icmp", "--ttl", "1", target}), 1) << target;
    EXPECT_EQ(check({"-p", "udp", "--ttl", "64", target}), 0) << target;
    EXPECT_EQ(check({"-p", "raw53", "--ttl", "64", "-I", "r2", target}), 0) << target;
  }
  // Two routers lie before the server: TTL 2 still dies on the way, 3 arrives.
  EXPECT_EQ(check({"-p", "tcp", "--ttl", "2", RoutedChain::ServerAddress}), 1) << "the connection is never made: the path's fault";
  EXPECT_EQ(check({"-p", "tcp", "--ttl", "3", RoutedChain::ServerAddress}), 0);
}

TEST_F(WayOut, AMissingInterfaceOrAForeignAddressIsRefusedBeforeAnythingIsSent) {
  struct Case {
    std::vector<std::string> args;
    std::string why;
  };
  for (const Case& c : std::vector<Case>{
           {{"-I", "nosuch0"}, "client: -I/--interface: no interface nosuch0 on this host"},
           {{"-I", RoutedChain::ServerAddress}, std::string("client: -I/--interface: ") + RoutedChain::ServerAddress +
                                                    " is not an address of this host"},
           {{"--sweep", "--via", "r1", "--via", "tun7"}, "client: --via: no interface tun7 on this host"}}) {
    Program client(CLIENT_PROGRAM);
    EXPECT_EQ(check(client, with(c.args, {"-p", "udp", RoutedChain::ServerAddress})), 2);
    EXPECT_NE(client.errors().find(c.why), std::string::npos) << client.errors();
    EXPECT_EQ(client.output(), "") << "not a line logged";
  }
  // A way that is down is refused too.
  ASSERT_TRUE(chain.run(Node::Client, {"ip", "link", "set", "r2", "down"}));
  Program down(CLIENT_PROGRAM);
  EXPECT_EQ(check(down, {"-p", "udp", "-I", "r2", RoutedChain::ServerAddress}), 2);
  EXPECT_NE(down.errors().find("interface r2 is down"), std::string::npos) << down.errors();
  // Nothing of theirs reached the server: the one request it saw is the one sent after them.
  EXPECT_EQ(check({"-p", "udp", "-c", "1", RoutedChain::ServerAddress}), 0);
  EXPECT_TRUE(server.waitForOutput("Принят пакет от "));
  EXPECT_EQ(occurrences(server.output(), "Принят пакет от "), 1) << server.output();
}

TEST_F(WayOut, TheExporterProbesThroughTheWayItsLabelNames) {
  Program exporter(CLIENT_PROGRAM);
  const std::string probe = std::string("http://127.0.0.1:9188/probe?target=") + RoutedChain::ServerAddress +
                            "&protocol=raw53&count=1";
  chain.inNode(Node::Client, [&] {
    exporter.start({"--exporter", "127.0.0.1:9188", "--via", "tunnel=r1", "--via", "direct=r2"});
    ASSERT_TRUE(eventually([] { return httpGet("http://127.0.0.1:9188/metrics").status == 200; })) << exporter.errors();
    EXPECT_EQ(samplesOf(httpGet(probe + "&via=tunnel").body)["probe_success"], 0);
    EXPECT_EQ(samplesOf(httpGet(probe + "&via=direct").body)["probe_success"], 1);
    // Not a label it was started with: a scraper does not choose interfaces of its own.
    const HttpAnswer refused = httpGet(probe + "&via=r2");
    EXPECT_EQ(refused.status, 400);
    EXPECT_NE(refused.body.find("tunnel, direct"), std::string::npos) << refused.body;
  });
  // A way the host lacks stops the exporter before it listens.
  Program lacking(CLIENT_PROGRAM);
  int status = -1;
  chain.inNode(Node::Client, [&] { status = lacking.run({"--exporter", "127.0.0.1:9189", "--via", "vpn=tun7"}); });
  EXPECT_EQ(status, 2);
  EXPECT_NE(lacking.errors().find("client: --via: no interface tun7 on this host"), std::string::npos)
      << lacking.errors();
}

}  // namespace
}  // namespace connchk::testing
