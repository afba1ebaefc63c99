// The routed chain itself: the real client reaches the real server through two routers over both
// families, and a fault put on a router with nftables stops what it names and nothing else.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/echo_server.h"
#include "tests/support/private_network.h"
#include "tests/support/program.h"
#include "tests/support/routed_chain.h"

namespace connchk::testing {
namespace {

using Node = RoutedChain::Node;

class RoutedPath : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_PRIVATE_NETWORK();
    REQUIRE_CHAIN(chain);
    chain.inNode(Node::Server, [&] { ASSERT_TRUE(startServer(server)); });
  }
  // One round of `type` from the client's host; the client's exit status.
  int check(const std::string& type, const std::string& target) {
    Program client(CLIENT_PROGRAM);
    int status = -1;
    chain.inNode(Node::Client, [&] { status = client.run({"--console", "-q", "-W", "2", "-p", type, target}); });
    return status;
  }

  RoutedChain chain;
  Program server{SERVER_PROGRAM};
};

TEST_F(RoutedPath, CarriesEachFamilyThroughBothRouters) {
  for (const char* target : {RoutedChain::ServerAddress, RoutedChain::ServerAddress6}) {
    EXPECT_EQ(check("udp", target), 0) << target;
    EXPECT_EQ(check("raw53", target), 0) << target;
  }
  // The server sees the client's own address: nothing on the way rewrites it.
  EXPECT_TRUE(server.waitForOutput(std::string("Принят пакет от ") + RoutedChain::ClientAddress));
  EXPECT_TRUE(server.waitForOutput(std::string("Принят пакет от ") + RoutedChain::ClientAddress6));
}

TEST_F(RoutedPath, ARouterRuleStopsWhatItNamesOnly) {
  ASSERT_TRUE(chain.nft(Node::Router2, "table inet fault { chain forward { type filter hook forward priority 0; "
                                       "meta l4proto 53 drop; }; }"));
  EXPECT_NE(check("raw53", RoutedChain::ServerAddress), 0);
  EXPECT_EQ(check("udp", RoutedChain::ServerAddress), 0);
}

}  // namespace
}  // namespace connchk::testing
