// The way out of a test's requests (-I, --ttl, --via): how it is read, looked at, put on a socket,
// and how a sweep through several ways is compared.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "client/console_options.h"
#include "client/sweep_ways.h"
#include "common/platform/sockets.h"
#include "common/platform/way_out.h"
#include "tests/support/peers.h"
#include "tests/support/private_network.h"

namespace connchk {
namespace {

using platform::Family;
using platform::WayOut;

TEST(WayOutText, AnAddressLiteralIsAnAddressAnythingNameLikeAnInterface) {
  struct Case {
    std::string text;
    WayOut::Kind kind;
  };
  for (const Case& c : std::vector<Case>{{"192.0.2.5", WayOut::Kind::Address},
                                         {"2001:db8::5", WayOut::Kind::Address},
                                         {"[2001:db8::5]", WayOut::Kind::Address},
                                         {"fe80::1%lo", WayOut::Kind::Address},
                                         {"tun0", WayOut::Kind::Interface},
                                         {"eth0.100", WayOut::Kind::Interface},
                                         {"wg-вышка", WayOut::Kind::Interface},
                                         {"abcdefghijklmno", WayOut::Kind::Interface}}) {
    std::string problem;
    const auto way = platform::parseWayOut(c.text, problem);
    ASSERT_TRUE(way) << c.text << ": " << problem;
    EXPECT_EQ(way->kind, c.kind) << c.text;
    EXPECT_EQ(way->name, c.text);
  }
  for (const char* text : {"", "abcdefghijklmnop", "eth/0", "a b", "fe80::1%nosuchzone", "1.2.3.4:87", "..", "\t"}) {
    std::string problem;
    EXPECT_FALSE(platform::parseWayOut(text, problem)) << text;
    EXPECT_NE(problem.find("neither an address nor an interface name"), std::string::npos) << text;
  }
}

TEST(WayOutText, ThePhraseNamesTheWayAndTheTtl) {
  std::string problem;
  WayOut way = *platform::parseWayOut("tun0", problem);
  EXPECT_EQ(platform::wayOutPhrase(way), " через интерфейс tun0");
  way.hopLimit = 7;
  EXPECT_EQ(platform::wayOutPhrase(way), " через интерфейс tun0, TTL 7");
  way = *platform::parseWayOut("2001:DB8::5", problem);
  EXPECT_EQ(platform::wayOutPhrase(way), " с адреса 2001:db8::5");
  EXPECT_EQ(platform::wayOutPhrase(WayOut{}), "") << "no -I, no --ttl: the connection line stays as it was";
  way = WayOut{};
  way.hopLimit = 1;
  EXPECT_EQ(platform::wayOutPhrase(way), ", TTL 1");
}

TEST(WayOutOnThisHost, AWayIsTakenOnlyWhereTheHostHasIt) {
  REQUIRE_PRIVATE_NETWORK();  // the private namespace has "lo", up, with 127.0.0.1 and ::1
  std::string problem;
  for (const char* text : {"lo", "127.0.0.1", "::1"}) {
    EXPECT_EQ(platform::wayOutProblem(*platform::parseWayOut(text, problem)), "") << text;
  }
  EXPECT_EQ(platform::wayOutProblem(*platform::parseWayOut("nosuch0", problem)), "no interface nosuch0 on this host");
  EXPECT_EQ(platform::wayOutProblem(*platform::parseWayOut("192.0.2.77", problem)),
            "192.0.2.77 is not an address of this host");
  EXPECT_EQ(platform::wayOutProblem(*platform::parseWayOut("2001:db8::77", problem)),
            "2001:db8::77 is not an address of this host");
}

int intOption(int fd, int level, int name) {
  int value = -1;
  socklen_t length = sizeof value;
  ::getsockopt(fd, level, name, &value, &length);
  return value;
}

TEST(WayOutOnASocket, TheTtlTheDeviceAndTheAddressAreSet) {
  REQUIRE_PRIVATE_NETWORK();
  std::string problem;
  for (const Family family : {Family::IPv4, Family::IPv6}) {
    WayOut way = *platform::parseWayOut(family == Family::IPv4 ? "127.0.0.1" : "::1", problem);
    way.hopLimit = 3;
    const platform::Socket socket = testing::openedSocket(family, SOCK_DGRAM);
    const platform::Status taken = platform::applyWayOut(socket.fd(), family, way, 855);
    ASSERT_TRUE(taken) << taken.error().text;
    EXPECT_EQ(family == Family::IPv4 ? intOption(socket.fd(), IPPROTO_IP, IP_TTL)
                                     : intOption(socket.fd(), IPPROTO_IPV6, IPV6_UNICAST_HOPS),
              3);
    EXPECT_EQ(platform::localAddress(socket.fd()), way.address.withPort(855)) << "port 855 on the way's address";
  }
  // An interface ties the socket to it; an address of the other family is refused as such.
  const platform::Socket tied = testing::openedSocket(Family::IPv4, SOCK_DGRAM);
  const platform::Status taken = platform::applyWayOut(tied.fd(), Family::IPv4, *platform::parseWayOut("lo", problem));
  ASSERT_TRUE(taken) << taken.error().text;
  char device[16] = {};
  socklen_t length = sizeof device;
  ::getsockopt(tied.fd(), SOL_SOCKET, SO_BINDTODEVICE, device, &length);
  EXPECT_STREQ(device, "lo");
  const platform::Socket other = testing::openedSocket(Family::IPv6, SOCK_DGRAM);
  EXPECT_EQ(platform::applyWayOut(other.fd(), Family::IPv6, *platform::parseWayOut("127.0.0.1", problem)).code(),
            EAFNOSUPPORT);
}

}  // namespace
}  // namespace connchk

namespace connchk::client {
namespace {

TEST(WayOptions, InterfaceTtlAndViaAreRead) {
  auto parsed = parseClientOptions({"-I", "tun0", "--ttl", "1", "host"});
  ASSERT_TRUE(parsed.options) << parsed.error;
  EXPECT_EQ(parsed.options->request.way.kind, platform::WayOut::Kind::Interface);
  EXPECT_EQ(parsed.options->request.way.hopLimit, 1);
  EXPECT_EQ(parsed.options->request.family, platform::FamilyChoice::Any);

  parsed = parseClientOptions({"--interface", "2001:db8::5", "host"});
  ASSERT_TRUE(parsed.options) << parsed.error;
  EXPECT_EQ(parsed.options->request.family, platform::FamilyChoice::IPv6) << "an address sends in its own family";

  parsed = parseClientOptions({"--sweep", "--via", "tun0", "--via", "192.0.2.5", "--ttl", "64", "host"});
  ASSERT_TRUE(parsed.options) << parsed.error;
  ASSERT_EQ(parsed.options->vias.size(), 2u);
  EXPECT_EQ(parsed.options->vias[1].kind, platform::WayOut::Kind::Address);
  EXPECT_EQ(parsed.options->vias[0].hopLimit, 64) << "--ttl holds for every way";

  parsed = parseClientOptions({"--exporter", "9188", "--via", "vpn=tun0", "--via", "192.0.2.5", "--allow-via"});
  ASSERT_TRUE(parsed.options) << parsed.error;
  ASSERT_EQ(parsed.options->exporterWays.size(), 2u);
  EXPECT_EQ(parsed.options->exporterWays[0].label, "vpn");
  EXPECT_EQ(parsed.options->exporterWays[0].way.name, "tun0");
  EXPECT_EQ(parsed.options->exporterWays[1].label, "192.0.2.5");
  EXPECT_TRUE(parsed.options->allowAnyVia);

  const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
      {{"--ttl", "0"}, "--ttl must be a whole number from 1 to 255"},
      {{"--ttl", "256"}, "--ttl must be a whole number from 1 to 255"},
      {{"--ttl", "-1"}, "--ttl"},
      {{"-I", "a/b"}, "-I/--interface: \"a/b\" is neither"},
      {{"-6", "-I", "192.0.2.5"}, "-I/--interface: 192.0.2.5 is an IPv4 address, but -6"},
      {{"--via", "a", "--via", "b"}, "--via is for --sweep"},
      {{"--sweep", "--via", "a"}, "--via must be given at least twice"},
      {{"--sweep", "-I", "a", "--via", "a", "--via", "b"}, "--via and -I cannot be combined"},
      {{"--sweep", "--via", "a", "--via", "x y"}, "--via: \"x y\" is neither"},
      {{"--allow-via"}, "--allow-via is for --exporter"},
      {{"--exporter", "9188", "--via", "a=lo", "--via", "a=eth0"}, "--via: the label a is given twice"},
      {{"--exporter", "9188", "--via", "a b=lo"}, "--via: \"a b\" is no label"},
      {{"--exporter", "9188", "-I", "lo"}, "--exporter takes no other option"},
  };
  for (const auto& [args, why] : refused) {
    parsed = parseClientOptions(args);
    EXPECT_FALSE(parsed.options) << ::testing::PrintToString(args);
    EXPECT_NE(parsed.error.find(why), std::string::npos) << ::testing::PrintToString(args) << ": " << parsed.error;
  }
}

TEST(WayOptions, AWayTheHostLacksIsRefusedNamingTheOption) {
  REQUIRE_PRIVATE_NETWORK();
  EXPECT_EQ(wayOutRefusal(*parseClientOptions({"-I", "lo"}).options), "");
  EXPECT_EQ(wayOutRefusal(*parseClientOptions({"-I", "nosuch0"}).options),
            "-I/--interface: no interface nosuch0 on this host");
  EXPECT_EQ(wayOutRefusal(*parseClientOptions({"--sweep", "--via", "lo", "--via", "192.0.2.9"}).options),
            "--via: 192.0.2.9 is not an address of this host");
}

SweepRow rowOf(int typeIndex, Verdict verdict) {
  SweepRow row;
  row.typeIndex = typeIndex;
  row.verdict = verdict;
  return row;
}

TEST(ComparedSweep, MarksTheTypesJudgedDifferentlyByTheWaysThatRanThem) {
  ComparedSweep compared;
  compared.ways.resize(2);
  compared.ways[0].way.name = "r1";
  compared.ways[1].way.name = "r2";
  // udp passes both ways; raw53 fails through r1 only; ICMP was not run through r2.
  compared.ways[0].result.rows = {rowOf(1, Verdict::Pass), rowOf(2, Verdict::Fail),
                                  rowOf(0, Verdict::Fail)};
  compared.ways[1].result.rows = {rowOf(1, Verdict::Pass), rowOf(2, Verdict::Pass),
                                  rowOf(0, Verdict::NotRun)};
  compared.ways[0].result.started = compared.ways[1].result.started = true;
  EXPECT_FALSE(compared.differs(0));
  EXPECT_TRUE(compared.differs(1));
  EXPECT_FALSE(compared.differs(2)) << "a type not run says nothing about its way";
  EXPECT_EQ(compared.exitStatus(), 1);

  const auto lines = comparedMatrixLines(compared);
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_NE(lines[1].find("r1"), std::string::npos);
  EXPECT_NE(lines[1].find("r2"), std::string::npos);
  EXPECT_EQ(lines[2].find(DiffersText), std::string::npos) << lines[2];
  EXPECT_NE(lines[3].find("ВЕЛТ-IP"), std::string::npos);
  EXPECT_NE(lines[3].find(DiffersText), std::string::npos) << lines[3];
  EXPECT_EQ(lines[5], "Итог различается у типов: 1");

  const auto json = comparedSweepJson(RunRequest{}, compared);
  ASSERT_EQ(json["ways"].size(), 2u);
  EXPECT_EQ(json["ways"][1]["via"], "r2");
  EXPECT_EQ(json["ways"][1]["types"][1]["verdict"], "pass");
  EXPECT_EQ(json["differing"], nlohmann::ordered_json::array({"raw53"}));
}

}  // namespace
}  // namespace connchk::client
