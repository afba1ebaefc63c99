// A routed path for tests that need hops between the client and the server: four named network
// namespaces in a row, client - router 1 - router 2 - server, each link a veth pair, IPv4 and IPv6
// routed both ways, the routers forwarding and sending their ICMP errors without a rate limit (so a
// trace's answers do not depend on timing). Optionally a second client link straight to router 2
// (two ways out of the client) and a smaller MTU on the link to the server. Faults are put on the
// routers with nftables: nft(Node::Router2, "...").
//
//   client  r1 ─ cli  router 1  r2 ─ r1  router 2  srv ─ r2  server
//     198.51.100.2/.1           203.0.113.1/.2          192.0.2.254/.1
//     2001:db8:a::2/::1         2001:db8:b::1/::2       2001:db8:c::fe/::1
//   with secondClientLink: client r2 ─ cli router 2, 203.0.113.130/.129, 2001:db8:d::2/::1
#pragma once

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace connchk::testing {

class RoutedChain {
 public:
  enum class Node { Client, Router1, Router2, Server };
  struct Options {
    bool secondClientLink = false;  // client "r2" straight to router 2's "cli", a route of metric 200
    int serverLinkMtu = 0;          // the MTU of the router 2 - server link (0: the default 1500)
  };

  static constexpr const char* ServerAddress = "192.0.2.1";
  static constexpr const char* ServerAddress6 = "2001:db8:c::1";
  static constexpr const char* ClientAddress = "198.51.100.2";
  static constexpr const char* ClientAddress6 = "2001:db8:a::2";
  static constexpr const char* SecondClientAddress = "203.0.113.130";
  static constexpr const char* SecondClientAddress6 = "2001:db8:d::2";
  // The router's address on the link towards the client: where its ICMP errors come from.
  static constexpr const char* Router1Address = "198.51.100.1";
  static constexpr const char* Router1Address6 = "2001:db8:a::1";
  static constexpr const char* Router2Address = "203.0.113.2";
  static constexpr const char* Router2Address6 = "2001:db8:b::2";

  RoutedChain() : RoutedChain(Options{}) {}
  explicit RoutedChain(Options options);
  ~RoutedChain();
  RoutedChain(const RoutedChain&) = delete;
  RoutedChain& operator=(const RoutedChain&) = delete;

  bool ready() const { return ready_; }
  const std::string& problem() const { return problem_; }
  const std::string& name(Node node) const { return names_[static_cast<int>(node)]; }

  // Runs `action` with the calling thread inside the node's network namespace.
  void inNode(Node node, const std::function<void()>& action) const;
  // "ip netns exec <node>": put in front of a command, it runs the command on the node.
  std::vector<std::string> launcherIn(Node node) const;
  // Runs a command on the node, output discarded; true when it exits with 0.
  bool run(Node node, const std::vector<std::string>& command) const;
  // Loads an nftables ruleset (the text of an `nft -f` file) on the node.
  bool nft(Node node, const std::string& ruleset) const;

 private:
  std::vector<std::string> names_;
  bool ready_ = false;
  std::string problem_;
};

}  // namespace connchk::testing

// Skips the test, saying why, where the chain could not be made; fails it instead when
// CHECKER_REQUIRE_NETNS is set (CI must not skip).
#define REQUIRE_CHAIN(bed)                                                                   \
  do {                                                                                       \
    if (!(bed).ready()) {                                                                    \
      if (std::getenv("CHECKER_REQUIRE_NETNS")) FAIL() << "no routed chain: " << (bed).problem(); \
      GTEST_SKIP() << "no routed chain: " << (bed).problem();                                \
    }                                                                                        \
  } while (0)
