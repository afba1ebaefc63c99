// ICMP and ICMPv6 errors read as values: a table of messages (each kind, quoted headers with IPv4
// options and IPv6 extension headers, cut-short and foreign messages), and the error queue of a
// real socket on loopback.
#include "common/platform/icmp_errors.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "common/platform/wait.h"
#include "common/platform/sockets.h"
#include "tests/support/peers.h"
#include "tests/support/private_network.h"

namespace connchk::platform {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A quoted IPv4 header from 192.0.2.1 to 198.51.100.7; `options` words of IPv4 options.
Bytes ipv4Header(std::uint8_t protocol, int options = 0, std::uint16_t fragment = 0) {
  Bytes h{static_cast<std::uint8_t>(0x45 + options), 0, 0, 60, 0x12, 0x34,
          static_cast<std::uint8_t>(fragment >> 8), static_cast<std::uint8_t>(fragment), 1, protocol, 0, 0,
          192, 0, 2, 1, 198, 51, 100, 7};
  for (int i = 0; i < options * 4; ++i) h.push_back(1);  // NOP options
  return h;
}

// A quoted IPv6 header from 2001:db8::1 to 2001:db8::7.
Bytes ipv6Header(std::uint8_t next) {
  Bytes h{0x60, 0, 0, 0, 0, 40, next, 1};
  Bytes source(16, 0), destination(16, 0);
  source[0] = destination[0] = 0x20;
  source[1] = destination[1] = 0x01;
  source[2] = destination[2] = 0x0d;
  source[3] = destination[3] = 0xb8;
  source[15] = 1;
  destination[15] = 7;
  return h + source + destination;
}

// UDP from port 40000 to 87, then payload bytes.
const Bytes Udp{0x9c, 0x40, 0x00, 87, 0, 28, 0xab, 0xcd, 'p', 'a', 'y'};

Bytes icmp(std::uint8_t type, std::uint8_t code, std::uint32_t rest = 0) {
  return Bytes{type, code, 0, 0, static_cast<std::uint8_t>(rest >> 24), static_cast<std::uint8_t>(rest >> 16),
               static_cast<std::uint8_t>(rest >> 8), static_cast<std::uint8_t>(rest)};
}

struct Case {
  std::string what;
  Family family;
  Bytes message;
  std::optional<IcmpErrorKind> kind;  // nullopt: not read as an error
  std::string reason;
  std::uint8_t protocol = 0;
  std::uint16_t sourcePort = 0, destinationPort = 0;
  std::optional<std::uint32_t> mtu;
  std::size_t transportBytes = 0;
};

const Address Router4 = *Address::parse("203.0.113.9", 5);
const Address Router6 = *Address::parse("2001:db8:ff::9");

const std::vector<Case> Cases = {
    {"time exceeded quoting UDP", Family::IPv4, icmp(11, 0) + ipv4Header(17) + Udp, IcmpErrorKind::TimeExceeded,
     "время жизни истекло", 17, 40000, 87, std::nullopt, Udp.size()},
    {"quoted header with options", Family::IPv4, icmp(11, 0) + ipv4Header(17, 2) + Udp, IcmpErrorKind::TimeExceeded,
     "время жизни истекло", 17, 40000, 87, std::nullopt, Udp.size()},
    {"admin prohibited quoting TCP", Family::IPv4, icmp(3, 13) + ipv4Header(6) + Udp, IcmpErrorKind::Unreachable,
     "административно запрещено", 6, 40000, 87, std::nullopt, Udp.size()},
    {"protocol unreachable, raw 53", Family::IPv4, icmp(3, 2) + ipv4Header(53) + Bytes{1, 2, 3, 4, 5, 6, 7, 8},
     IcmpErrorKind::Unreachable, "протокол недоступен", 53, 0, 0, std::nullopt, 8},
    {"fragmentation needed with MTU", Family::IPv4, icmp(3, 4, 1400) + ipv4Header(17) + Udp,
     IcmpErrorKind::PacketTooBig, "нужна фрагментация (MTU 1400)", 17, 40000, 87, 1400u, Udp.size()},
    {"fragmentation needed, MTU left 0", Family::IPv4, icmp(3, 4, 0) + ipv4Header(17) + Udp,
     IcmpErrorKind::PacketTooBig, "нужна фрагментация", 17, 40000, 87, std::nullopt, Udp.size()},
    {"a later fragment quotes no ports", Family::IPv4, icmp(11, 1) + ipv4Header(17, 0, 0x00B9) + Udp,
     IcmpErrorKind::TimeExceeded, "время сборки фрагментов истекло", 17, 0, 0, std::nullopt, Udp.size()},
    {"only the header and 2 bytes quoted", Family::IPv4, icmp(11, 0) + ipv4Header(17) + Bytes{0x9c, 0x40},
     IcmpErrorKind::TimeExceeded, "время жизни истекло", 17, 0, 0, std::nullopt, 2},
    {"ICMPv6 time exceeded quoting UDP", Family::IPv6, icmp(3, 0) + ipv6Header(17) + Udp, IcmpErrorKind::TimeExceeded,
     "время жизни истекло", 17, 40000, 87, std::nullopt, Udp.size()},
    {"ICMPv6 packet too big", Family::IPv6, icmp(2, 0, 1280) + ipv6Header(17) + Udp, IcmpErrorKind::PacketTooBig,
     "нужна фрагментация (MTU 1280)", 17, 40000, 87, 1280u, Udp.size()},
    {"ICMPv6 admin prohibited", Family::IPv6, icmp(1, 1) + ipv6Header(6) + Udp, IcmpErrorKind::Unreachable,
     "административно запрещено", 6, 40000, 87, std::nullopt, Udp.size()},
    {"ICMPv6 past a destination options header", Family::IPv6,
     icmp(1, 4) + ipv6Header(60) + Bytes{17, 0, 1, 4, 0, 0, 0, 0} + Udp, IcmpErrorKind::Unreachable,
     "порт недоступен", 17, 40000, 87, std::nullopt, Udp.size()},
    {"ICMPv6 first fragment keeps its ports", Family::IPv6,
     icmp(3, 0) + ipv6Header(44) + Bytes{17, 0, 0, 1, 0, 0, 0, 9} + Udp, IcmpErrorKind::TimeExceeded,
     "время жизни истекло", 17, 40000, 87, std::nullopt, Udp.size()},
    {"ICMPv6 later fragment quotes no ports", Family::IPv6,
     icmp(3, 1) + ipv6Header(44) + Bytes{17, 0, 0, 0x18, 0, 0, 0, 9} + Udp, IcmpErrorKind::TimeExceeded,
     "время сборки фрагментов истекло", 17, 0, 0, std::nullopt, Udp.size()},
    {"echo reply is no error", Family::IPv4, icmp(0, 0) + ipv4Header(17) + Udp, std::nullopt, "", 0, 0, 0, std::nullopt, 0},
    {"ICMPv6 echo reply is no error", Family::IPv6, icmp(129, 0) + ipv6Header(17) + Udp, std::nullopt, "", 0, 0, 0, std::nullopt, 0},
    {"quoted IPv4 header cut short", Family::IPv4, icmp(11, 0) + Bytes(19, 0x45), std::nullopt, "", 0, 0, 0, std::nullopt, 0},
    {"quoted IHL below 5", Family::IPv4, icmp(11, 0) + Bytes{0x44} + Bytes(30, 0), std::nullopt, "", 0, 0, 0, std::nullopt, 0},
    {"quoted IHL past the end", Family::IPv4, icmp(11, 0) + Bytes{0x4F} + Bytes(30, 0), std::nullopt, "", 0, 0, 0, std::nullopt, 0},
    {"quoted IPv6 header cut short", Family::IPv6, icmp(3, 0) + Bytes(39, 0x60), std::nullopt, "", 0, 0, 0, std::nullopt, 0},
    {"quoted header of the other family", Family::IPv6, icmp(3, 0) + ipv4Header(17) + Bytes(40, 0), std::nullopt, "", 0, 0, 0, std::nullopt, 0},
    {"ICMP header cut short", Family::IPv4, Bytes{11, 0, 0}, std::nullopt, "", 0, 0, 0, std::nullopt, 0},
};

TEST(IcmpErrors, ATableOfMessagesReadsAsItsKindReasonQuotedHeaderAndMtu) {
  for (const auto& c : Cases) {
    SCOPED_TRACE(c.what);
    const Address& from = c.family == Family::IPv4 ? Router4 : Router6;
    const auto error = parseIcmpError(c.family, c.message, from);
    ASSERT_EQ(error.has_value(), c.kind.has_value());
    if (!error) continue;
    EXPECT_EQ(error->kind, *c.kind);
    EXPECT_EQ(error->type, c.message[0]);
    EXPECT_EQ(error->code, c.message[1]);
    EXPECT_EQ(error->offender, from.withPort(0));
    EXPECT_EQ(icmpErrorReason(*error), c.reason);
    EXPECT_EQ(error->mtu, c.mtu);
    EXPECT_EQ(error->quoted.protocol, c.protocol);
    EXPECT_EQ(error->quoted.source.port(), c.sourcePort);
    EXPECT_EQ(error->quoted.destination.port(), c.destinationPort);
    EXPECT_EQ(error->quoted.portsQuoted, c.sourcePort != 0);
    EXPECT_EQ(error->quoted.transport.size(), c.transportBytes);
    EXPECT_EQ(error->quoted.destination.text(), c.family == Family::IPv4 ? "198.51.100.7" : "2001:db8::7");
    EXPECT_EQ(error->quoted.source.text(), c.family == Family::IPv4 ? "192.0.2.1" : "2001:db8::1");
  }
}

TEST(IcmpErrors, ARawIPv4DatagramIsReadPastItsOwnHeaderWhateverItsLength) {
  const Bytes message = icmp(11, 0) + ipv4Header(17) + Udp;
  for (int options : {0, 1, 10}) {
    SCOPED_TRACE(options);
    const auto error = parseIcmpErrorDatagram(ipv4Header(1, options) + message, Router4);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->kind, IcmpErrorKind::TimeExceeded);
    EXPECT_EQ(error->quoted.transport, Udp);
  }
  EXPECT_FALSE(parseIcmpErrorDatagram(ipv4Header(17) + message, Router4)) << "not ICMP";
  EXPECT_FALSE(parseIcmpErrorDatagram(ipv4Header(1, 10), Router4)) << "a header and nothing else";
  EXPECT_FALSE(parseIcmpErrorDatagram(Bytes(19, 0x45), Router4));
}

TEST(IcmpErrors, ALoopbackRefusalComesOutOfTheErrorQueueWithWhatItQuotes) {
  REQUIRE_PRIVATE_NETWORK();
  for (const Family family : {Family::IPv4, Family::IPv6}) {
    SCOPED_TRACE(familyName(family));
    // A port that nothing listens on: a bound, closed socket's port.
    Socket closed = testing::openedSocket(family, SOCK_DGRAM);
    ASSERT_EQ(bindTo(closed.fd(), Address::loopback(family)).code(), 0);
    const std::uint16_t port = localPort(closed.fd());
    closed.close();

    Socket socket = testing::openedSocket(family, SOCK_DGRAM);
    ASSERT_EQ(enableErrorQueue(socket.fd(), family).code(), 0);
    const Bytes payload{'t', 'i', 'm', 'e', 1, 2, 3, 4};
    ASSERT_TRUE(sendTo(socket.fd(), payload.data(), payload.size(), Address::loopback(family, port)).ok());

    IcmpError error;
    Result<ErrorRead> read = ErrorRead::NothingLeft;
    const StopEvent never;
    for (int tries = 0; tries < 50 && read.value_or(ErrorRead::Error) == ErrorRead::NothingLeft; ++tries) {
      waitReadable(socket.fd(), never, 100);  // an error pending makes the socket readable
      read = readErrorQueue(socket.fd(), error);
    }
    ASSERT_TRUE(read.ok()) << read.code();
    ASSERT_EQ(*read, ErrorRead::Error);
    EXPECT_EQ(error.kind, IcmpErrorKind::Unreachable);
    EXPECT_EQ(icmpErrorReason(error), "порт недоступен");
    EXPECT_EQ(error.offender, Address::loopback(family));
    EXPECT_EQ(error.quoted.protocol, 17);
    EXPECT_EQ(error.quoted.destination, Address::loopback(family, port));
    EXPECT_EQ(error.quoted.source.port(), localPort(socket.fd()));
    ASSERT_EQ(error.quoted.transport.size(), 8 + payload.size());
    EXPECT_EQ(Bytes(error.quoted.transport.begin() + 8, error.quoted.transport.end()), payload);
    EXPECT_EQ(readErrorQueue(socket.fd(), error).value_or(ErrorRead::Error), ErrorRead::NothingLeft);
  }
}

}  // namespace
}  // namespace connchk::platform
