// Both address families between real namespaces: a name with A and AAAA records resolved as
// asked, ICMP echo without rights through the kernel's datagram sockets, and ICMPv6 echo answered
// by the kernel of a host of the two-host bed. The calls run in net_probe, started on the host
// that has the hosts file or as a user without rights. And the server on a host without IPv6.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "common/protocol.h"

#include "tests/support/echo_server.h"
#include "tests/support/private_network.h"
#include "tests/support/program.h"
#include "tests/support/rights.h"
#include "tests/support/two_hosts.h"

namespace connchk::testing {
namespace {

using Host = TwoHosts::Host;
using Words = std::vector<std::string>;

struct ProbeRun {
  int status;
  std::string output;
};

ProbeRun probe(const Words& launcher, const Words& args) {
  Program program(NET_PROBE_PROGRAM);
  program.startThrough(launcher, args);
  const int status = program.wait(milliseconds(15000));
  return {status, program.output() + program.errors()};
}

TEST(Families, NameWithBothRecordsResolvesToTheFamilyAsked) {
  TwoHosts bed;
  REQUIRE_TWO_HOSTS(bed);
  ASSERT_TRUE(bed.setHostsFile(Host::Client, {"192.0.2.1 dual.test", "2001:db8::1 dual.test", "192.0.2.1 four.test"}));
  const struct {
    Words args;
    int status;
    std::string output;
  } cases[] = {
      {{"-4", "dual.test"}, 0, "192.0.2.1\n"},
      {{"-6", "dual.test"}, 0, "2001:db8::1\n"},
      // The resolver's sort (RFC 6724) puts IPv6 first where the host reaches both families.
      {{"dual.test"}, 0, "2001:db8::1\n"},
      {{"four.test"}, 0, "192.0.2.1\n"},
      {{"-6", "four.test"}, 1, "У имени «four.test» нет адреса IPv6\n"},
      {{"none.test"}, 1, "Имя «none.test» не найдено\n"},
      {{"-6", "192.0.2.1"}, 1, "Адрес 192.0.2.1 не является адресом IPv6\n"},
  };
  for (const auto& c : cases) {
    const auto run = probe(bed.launcherIn(Host::Client), with({"resolve"}, c.args));
    EXPECT_EQ(run.status, c.status) << c.args.back();
    EXPECT_EQ(run.output, c.output) << c.args.back();
  }
}

TEST(Families, IcmpEchoWithoutRightsTakesTheDatagramSocketWhereTheGroupIsAllowed) {
  REQUIRE_PRIVATE_NETWORK();
  const struct {
    const char* groups;  // net.ipv4.ping_group_range of the test's namespace
    bool root;
    const char* target;
    int status;
    std::string output;
  } cases[] = {
      {"65534 65534", false, "127.0.0.1", 0, "datagram\nreply from 127.0.0.1 identifier 4660\n"},
      {"65534 65534", false, "::1", 0, "datagram\nreply from ::1 identifier 4660\n"},
      {"65534 65534", true, "::1", 0, "raw\nreply from ::1 identifier 4660\n"},
      {"1 0", true, "127.0.0.1", 0, "raw\nreply from 127.0.0.1 identifier 4660\n"},
      {"1 0", false, "127.0.0.1", 1,
       "Нет права открыть сокет ICMP: нужно право CAP_NET_RAW (root или setcap cap_net_raw+ep) либо группа "
       "пользователя (65534) в net.ipv4.ping_group_range (сейчас 1 0)\n"},
      {"0 65533", false, "::1", 1,
       "Нет права открыть сокет ICMPv6: нужно право CAP_NET_RAW (root или setcap cap_net_raw+ep) либо группа "
       "пользователя (65534) в net.ipv4.ping_group_range (сейчас 0 65533)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.groups) + (c.root ? " root " : " nobody ") + c.target);
    ASSERT_TRUE(setPingGroupRange(c.groups));
    const auto run = probe(c.root ? Words{} : withoutRights(), {"echo", c.target});
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.output, c.output);
  }
}

TEST(Families, Icmpv6EchoIsAnsweredByTheKernelOfABedHost) {
  TwoHosts bed;
  REQUIRE_TWO_HOSTS(bed);
  bed.inHost(Host::Client, [] { ASSERT_TRUE(setPingGroupRange("65534 65534")); });
  const Words onClient = bed.launcherIn(Host::Client);
  const std::string reply = std::string("reply from ") + TwoHosts::ServerAddress6 + " identifier 4660\n";
  EXPECT_EQ(probe(onClient, {"echo", TwoHosts::ServerAddress6}).output, "raw\n" + reply);
  EXPECT_EQ(probe(with(onClient, withoutRights()), {"echo", TwoHosts::ServerAddress6}).output, "datagram\n" + reply);

  // Once the server host's kernel stops answering, nothing else does.
  bed.inHost(Host::Server, [] { std::ofstream("/proc/sys/net/ipv6/icmp/echo_ignore_all") << "1"; });
  const auto silent = probe(onClient, {"echo", TwoHosts::ServerAddress6});
  EXPECT_EQ(silent.status, 2);
  EXPECT_EQ(silent.output, "raw\nno reply\n");
}

// A server host with a second address answers every datagram type from the address the request
// came to: from its first address the client (whose sockets take answers from the server's
// address only) would count every round lost.
TEST(Families, AServerWithTwoAddressesAnswersFromTheOneAsked) {
  REQUIRE_PRIVATE_NETWORK();
  TwoHosts bed;
  REQUIRE_TWO_HOSTS(bed);
  ASSERT_TRUE(bed.addAddress(Host::Server, "192.0.2.3"));
  ASSERT_TRUE(bed.addAddress(Host::Server, "2001:db8::3"));
  EchoServer server;
  server.program.startThrough(bed.launcherIn(Host::Server), {"--console"});
  bed.inHost(Host::Server, [&] { ASSERT_TRUE(serverServes(server.program)); });
  for (const char* address : {"192.0.2.3", "2001:db8::3"}) {
    for (const char* type : {"udp", "telm-udp", "raw53", "raw117"}) {
      Program client(CLIENT_PROGRAM);
      client.startThrough(bed.launcherIn(Host::Client), {"--console", "-c", "2", "-i", "0.2", "-W", "1", "-p", type, address});
      EXPECT_EQ(client.wait(milliseconds(15000)), 0) << type << " to " << address << ":\n" << client.output() << client.errors();
      EXPECT_NE(client.output().find("Итого: отослано 2, получено 2"), std::string::npos) << type << " to " << address;
    }
  }
}

// Lines of a kernel socket table of this namespace past its heading.
int socketsIn(const std::string& table) {
  std::ifstream in("/proc/thread-self/net/" + table);
  int lines = 0;
  for (std::string line; std::getline(in, line);) ++lines;
  return lines - 1;
}

// On a host without IPv6 at all (every IPv6 socket refused) the services fall back to IPv4
// sockets without a word about the family they lack, and serve IPv4 clients as ever.
TEST(Families, OnAHostWithoutIpv6TheServerServesIpv4Alone) {
  REQUIRE_PRIVATE_NETWORK();
  Program server(SERVER_PROGRAM);
  ASSERT_TRUE(startServer(
      server, {"--console"}, {"env", std::string("LD_PRELOAD=") + NO_IPV6_LIBRARY, "ASAN_OPTIONS=verify_asan_link_order=0"}));
  ASSERT_TRUE(server.waitForCount("Старт сервера, протокол", 15)) << server.output();
  EXPECT_EQ(socketsIn("udp6") + socketsIn("tcp6") + socketsIn("raw6"), 0);

  for (const char* protocol : {"udp", "tcp", "raw53", "icmp"}) {
    Program client(CLIENT_PROGRAM);
    EXPECT_EQ(client.run({"--console", "-q", "-c", "1", "-p", protocol, "127.0.0.1"}), 0) << protocol;
  }
  Program overIpv6(CLIENT_PROGRAM);
  EXPECT_NE(overIpv6.run({"--console", "-q", "-c", "1", "-W", "1", "-p", "udp", "::1"}), 0);
  const std::string printed = server.output();
  for (const char* line : {"Принят пакет от 127.0.0.1 (unresolved), протокол IP-Клиент, 32 байт данных",
                           "Принят пакет от 127.0.0.1 (unresolved), протокол TCP, 32 байт данных",
                           "Принят пакет от 127.0.0.1 (unresolved), протокол №53, 52 байт данных"}) {
    EXPECT_NE(printed.find(line), std::string::npos) << line << "\n" << printed;
  }
  EXPECT_EQ(printed.find("IPv6"), std::string::npos) << printed;
  EXPECT_EQ(printed.find("Ошибка"), std::string::npos) << printed;
}

}  // namespace
}  // namespace connchk::testing
