// Two hosts for tests that cannot run on one: two named network namespaces joined by a veth pair,
// the server host at 192.0.2.1 and 2001:db8::1, the client host at 192.0.2.2 and 2001:db8::2 (the
// IPv6 addresses skip duplicate address detection, so they work at once). Made with iproute2 and
// removed when the object goes; beds left behind by test processes that were killed are removed too.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/platform/address.h"

namespace connchk::testing {

class TwoHosts {
 public:
  enum class Host { Server, Client };
  static constexpr const char* ServerAddress = "192.0.2.1";
  static constexpr const char* ClientAddress = "192.0.2.2";
  static constexpr const char* ServerAddress6 = "2001:db8::1";
  static constexpr const char* ClientAddress6 = "2001:db8::2";

  TwoHosts();
  ~TwoHosts();
  TwoHosts(const TwoHosts&) = delete;
  TwoHosts& operator=(const TwoHosts&) = delete;

  bool ready() const { return ready_; }
  const std::string& problem() const { return problem_; }
  const std::string& name(Host host) const { return host == Host::Server ? server_ : client_; }

  // Runs `action` with the calling thread inside the host's network namespace: the sockets it
  // opens and the programs it starts belong to that host. The thread comes back afterwards.
  void inHost(Host host, const std::function<void()>& action) const;

  // Gives a host one more address of 192.0.2.0/24 or 2001:db8::/64, e.g. "192.0.2.3", "2001:db8::3".
  bool addAddress(Host host, const std::string& address);

  // Gives a host its own hosts file (localhost and these "address name..." lines) as the only
  // source of names. Only programs started through launcherIn() see it: ip netns exec puts it
  // over /etc/hosts for them alone.
  bool setHostsFile(Host host, const std::vector<std::string>& lines);
  // "ip netns exec <host>": put in front of a command, it runs the command on the host.
  std::vector<std::string> launcherIn(Host host) const;

 private:
  std::string server_;
  std::string client_;
  bool ready_ = false;
  std::string problem_;
};

// Runs a command (searched on PATH) with its output discarded; true when it exits with 0.
bool runQuietly(const std::vector<std::string>& command);

// What the test beds share. A bed's namespaces are named chk-<role>-<pid>-<n> (a role without
// "-"); making a bed first removes the beds of test processes that have ended without removing
// theirs. bedName() gives the name of a new namespace; removeBed() deletes it and its files.
std::string newBedName(const std::string& role);
void removeBed(const std::string& name);
// Runs `action` with the calling thread inside the named network namespace; it comes back after.
void inNetworkNamespace(const std::string& name, const std::function<void()>& action);

// Whether a socket of either family in the calling thread's namespace is bound to `port`, read
// from the kernel's tables ("udp" or "tcp" and their IPv6 twins), in `state` ("0A" is a TCP
// listener) or any state when it is null.
bool portBound(const char* table, std::uint16_t port, const char* state = nullptr);

// Polls until a UDP socket of the calling thread's network namespace is bound to `port` (the
// server's services start on threads of their own); false past the limit.
bool waitForUdpPort(std::uint16_t port, int limitMs = 5000);
// The same for a TCP socket listening on `port`.
bool waitForTcpListener(std::uint16_t port, int limitMs = 5000);

// A literal address of either family; fails the test when the text is none.
platform::Address literal(const std::string& text, std::uint16_t port = 0);

}  // namespace connchk::testing

// Skips the test, saying why, where the two hosts could not be made; fails it instead when
// CHECKER_REQUIRE_NETNS is set (CI must not skip).
#define REQUIRE_TWO_HOSTS(bed)                                                        \
  do {                                                                                \
    if (!(bed).ready()) {                                                             \
      if (std::getenv("CHECKER_REQUIRE_NETNS")) FAIL() << "no two hosts: " << (bed).problem(); \
      GTEST_SKIP() << "no two hosts: " << (bed).problem();                            \
    }                                                                                 \
  } while (0)
