#include "tests/support/routed_chain.h"

#include <unistd.h>

#include <fstream>
#include <tuple>

#include "tests/support/two_hosts.h"

namespace connchk::testing {
namespace {

using Words = std::vector<std::string>;

// One end of a link: the namespace, the interface's name there, its addresses with their prefixes.
struct End {
  std::string host;
  std::string interface;
  std::string address;
  std::string address6;
};

std::string joined(const Words& words) {
  std::string text;
  for (const auto& word : words) text += (text.empty() ? "" : " ") + word;
  return text;
}

// Runs the steps in order; the first that fails is the problem.
bool runSteps(const std::vector<Words>& steps, std::string& problem) {
  for (const auto& step : steps) {
    if (!runQuietly(step)) {
      problem = "'" + joined(step) + "' failed (needs root and iproute2)";
      return false;
    }
  }
  return true;
}

}  // namespace

RoutedChain::RoutedChain(Options options) {
  for (const char* role : {"ccli", "rt1", "rt2", "csrv"}) names_.push_back(newBedName(role));
  const std::string& c = names_[0];
  const std::string& r1 = names_[1];
  const std::string& r2 = names_[2];
  const std::string& s = names_[3];

  std::vector<Words> steps;
  for (const auto& host : names_) {
    steps.push_back({"ip", "netns", "add", host});
    steps.push_back({"ip", "-n", host, "link", "set", "lo", "up"});
  }
  if (!runSteps(steps, problem_)) return;
  steps.clear();
  // Set before the links come: no duplicate address detection (addresses work at once), ICMP
  // errors without a rate limit (a trace's hops answer however fast it asks), routers forwarding.
  for (std::size_t i = 0; i < names_.size(); ++i) {
    const bool router = i == 1 || i == 2;
    inNetworkNamespace(names_[i], [&] {
      for (const auto& [key, value] : std::vector<std::pair<std::string, std::string>>{
               {"ipv6/conf/all/accept_dad", "0"},
               {"ipv6/conf/default/accept_dad", "0"},
               {"ipv4/icmp_ratelimit", "0"},
               {"ipv6/icmp/ratelimit", "0"},
               {"ipv4/icmp_msgs_per_sec", "100000"},
               {"ipv4/ip_forward", router ? "1" : "0"},
               {"ipv6/conf/all/forwarding", router ? "1" : "0"}}) {
        std::ofstream setting("/proc/sys/net/" + key);
        setting << value << "\n";
        if (!setting.flush()) problem_ = "cannot set net." + key + " on " + names_[i];
      }
    });
  }
  if (!problem_.empty()) return;

  // Each link's ends know each other's hardware address for good, so no packet waits on (or is
  // lost to) neighbour discovery: a path's first packet crosses it like any other.
  int links = 0;
  const auto link = [&](const End& a, const End& b, int mtu) {
    ++links;
    const auto mac = [&](int end) { return "02:00:00:00:0" + std::to_string(links) + ":0" + std::to_string(end); };
    steps.push_back({"ip", "-n", a.host, "link", "add", a.interface, "address", mac(1), "type", "veth", "peer", "name",
                     b.interface, "netns", b.host, "address", mac(2)});
    for (const auto& [end, other, otherMac] : {std::tuple{a, b, mac(2)}, std::tuple{b, a, mac(1)}}) {
      steps.push_back({"ip", "-n", end.host, "addr", "add", end.address, "dev", end.interface});
      steps.push_back({"ip", "-n", end.host, "addr", "add", end.address6, "dev", end.interface, "nodad"});
      if (mtu > 0) steps.push_back({"ip", "-n", end.host, "link", "set", end.interface, "mtu", std::to_string(mtu)});
      steps.push_back({"ip", "-n", end.host, "link", "set", end.interface, "up"});
      for (const std::string& peer : {other.address, other.address6}) {
        steps.push_back({"ip", "-n", end.host, "neigh", "replace", peer.substr(0, peer.find('/')), "lladdr", otherMac,
                         "dev", end.interface, "nud", "permanent"});
      }
    }
  };
  link({c, "r1", "198.51.100.2/24", "2001:db8:a::2/64"}, {r1, "cli", "198.51.100.1/24", "2001:db8:a::1/64"}, 0);
  link({r1, "r2", "203.0.113.1/25", "2001:db8:b::1/64"}, {r2, "r1", "203.0.113.2/25", "2001:db8:b::2/64"}, 0);
  link({r2, "srv", "192.0.2.254/24", "2001:db8:c::fe/64"}, {s, "r2", "192.0.2.1/24", "2001:db8:c::1/64"},
       options.serverLinkMtu);
  if (options.secondClientLink) {
    link({c, "r2", "203.0.113.130/25", "2001:db8:d::2/64"}, {r2, "cli", "203.0.113.129/25", "2001:db8:d::1/64"}, 0);
  }
  // One route step for both families: the words alternate IPv4, IPv6.
  const auto route = [&](const std::string& host, const Words& what) {
    Words ipv4{"ip", "-n", host, "route", "add"}, ipv6{"ip", "-n", host, "-6", "route", "add"};
    for (std::size_t i = 0; i < what.size(); i += 2) {
      ipv4.push_back(what[i]);
      ipv6.push_back(what[i + 1]);
    }
    steps.push_back(ipv4);
    steps.push_back(ipv6);
  };
  route(c, {"default", "default", "via", "via", "198.51.100.1", "2001:db8:a::1"});
  route(r1, {"192.0.2.0/24", "2001:db8:c::/64", "via", "via", "203.0.113.2", "2001:db8:b::2"});
  route(r1, {"203.0.113.128/25", "2001:db8:d::/64", "via", "via", "203.0.113.2", "2001:db8:b::2"});
  route(r2, {"198.51.100.0/24", "2001:db8:a::/64", "via", "via", "203.0.113.1", "2001:db8:b::1"});
  route(s, {"default", "default", "via", "via", "192.0.2.254", "2001:db8:c::fe"});
  if (options.secondClientLink) {
    route(c, {"default", "default", "via", "via", "203.0.113.129", "2001:db8:d::1", "metric", "metric", "200", "200"});
  }
  ready_ = runSteps(steps, problem_);
}

RoutedChain::~RoutedChain() {
  for (const auto& host : names_) removeBed(host);
}

void RoutedChain::inNode(Node node, const std::function<void()>& action) const {
  inNetworkNamespace(name(node), action);
}

std::vector<std::string> RoutedChain::launcherIn(Node node) const { return {"ip", "netns", "exec", name(node)}; }

bool RoutedChain::run(Node node, const std::vector<std::string>& command) const {
  Words words = launcherIn(node);
  words.insert(words.end(), command.begin(), command.end());
  return runQuietly(words);
}

bool RoutedChain::nft(Node node, const std::string& ruleset) const {
  char path[] = "/tmp/chk-nft-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return false;
  close(fd);
  {
    std::ofstream file(path);
    file << ruleset << "\n";
  }
  const bool loaded = run(node, {"nft", "-f", path});
  unlink(path);
  return loaded;
}

}  // namespace connchk::testing
