// The address value type and the socket calls that take it: literals and their text, socket
// address round trips, IPv4 peers of a dual-stack socket, and exchanges over both loopbacks.
#include "common/platform/address.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <unordered_set>
#include <vector>

#include "common/platform/socket_wait.h"
#include "common/platform/sockets.h"
#include "tests/support/peers.h"
#include "tests/support/private_network.h"

namespace connchk::platform {
namespace {

using Kind = Family;

struct Literal {
  std::string typed;
  Kind family;
  std::string text;
};

// lo is interface 1 in the test's own namespace.
const Literal Literals[] = {
    {"192.0.2.1", Kind::IPv4, "192.0.2.1"},
    {"0.0.0.0", Kind::IPv4, "0.0.0.0"},
    {"2001:DB8:0:0:0:0:0:1", Kind::IPv6, "2001:db8::1"},
    {"2001:db8:0:1:1:1:1:1", Kind::IPv6, "2001:db8:0:1:1:1:1:1"},  // one zero group is not shortened
    {"2001:0:0:1:0:0:0:1", Kind::IPv6, "2001:0:0:1::1"},           // the longest run is
    {"2001:db8:0:0:1:0:0:1", Kind::IPv6, "2001:db8::1:0:0:1"},     // the first of equal runs is
    {"[::1]", Kind::IPv6, "::1"},
    {"::", Kind::IPv6, "::"},
    {"::ffff:127.0.0.1", Kind::IPv4, "127.0.0.1"},
    {"::FFFF:c000:207", Kind::IPv4, "192.0.2.7"},
    {"fe80::1%lo", Kind::IPv6, "fe80::1%lo"},
    {"fe80::1%1", Kind::IPv6, "fe80::1%lo"},
};

TEST(Address, LiteralsParseToTheirUsualTextAndSurviveTheSocketAddressForm) {
  REQUIRE_PRIVATE_NETWORK();
  for (const auto& l : Literals) {
    SCOPED_TRACE(l.typed);
    const auto a = Address::parse(l.typed, 87);
    ASSERT_TRUE(a.has_value());
    EXPECT_EQ(a->family(), l.family);
    EXPECT_EQ(a->text(), l.text);
    EXPECT_EQ(a->textWithPort(), l.family == Kind::IPv4 ? l.text + ":87" : "[" + l.text + "]:87");
    sockaddr_storage s{};
    const socklen_t length = a->toSockaddr(s);
    EXPECT_EQ(length, l.family == Kind::IPv4 ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
    const auto back = Address::fromSockaddr(reinterpret_cast<sockaddr*>(&s), length);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, *a);
    EXPECT_EQ(back->port(), 87);
    EXPECT_EQ(back->text(), l.text);
  }
}

TEST(Address, AnythingButANumericAddressIsRefused) {
  for (const std::string& bad : std::vector<std::string>{"", "1.2.3", "256.1.1.1", "1.2.3.4 ", " ::1", "::1::", "2001:db8::g", "[192.0.2.1]",
                                "[::1", "fe80::1%", "fe80::1%nosuchif0", "::ffff:1.2.3.4%1", "localhost",
                                std::string("1.2.3.4\0x", 9)}) {
    EXPECT_FALSE(Address::parse(bad).has_value()) << "'" << bad << "'";
  }
  sockaddr_un local{};
  local.sun_family = AF_UNIX;
  EXPECT_FALSE(Address::fromSockaddr(reinterpret_cast<sockaddr*>(&local), sizeof local));
  sockaddr_in6 cut{};
  cut.sin6_family = AF_INET6;
  EXPECT_FALSE(Address::fromSockaddr(reinterpret_cast<sockaddr*>(&cut), sizeof(sockaddr_in)));
}

TEST(Address, MappedPeerPrintsAndComparesAsIPv4YetGoesBackInItsOwnForm) {
  sockaddr_in6 fromDualStack{};
  fromDualStack.sin6_family = AF_INET6;
  fromDualStack.sin6_port = htons(855);
  const std::uint8_t mapped[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 192, 0, 2, 7};
  std::memcpy(&fromDualStack.sin6_addr, mapped, 16);
  const auto peer = Address::fromSockaddr(reinterpret_cast<sockaddr*>(&fromDualStack), sizeof fromDualStack);
  ASSERT_TRUE(peer.has_value());
  const Address plain = *Address::parse("192.0.2.7", 855);
  EXPECT_EQ(peer->family(), Family::IPv4);
  EXPECT_EQ(peer->textWithPort(), "192.0.2.7:855");
  EXPECT_TRUE(peer->isMapped());
  EXPECT_EQ(*peer, plain);
  EXPECT_EQ(peer->hash(), plain.hash());

  // Which form reaches the calls: the one it came in, or the one a socket's family asks for.
  const struct {
    Address address;
    std::optional<Family> socketFamily;
    sa_family_t expected;
  } forms[] = {{*peer, {}, AF_INET6},         {*peer, Family::IPv4, AF_INET},  {peer->unmapped(), {}, AF_INET},
               {plain, {}, AF_INET},          {plain, Family::IPv6, AF_INET6}, {Address::loopback(Family::IPv6), Family::IPv4, AF_INET6}};
  for (const auto& f : forms) {
    sockaddr_storage s{};
    const socklen_t length = f.socketFamily ? f.address.toSockaddr(s, *f.socketFamily) : f.address.toSockaddr(s);
    EXPECT_EQ(s.ss_family, f.expected) << f.address.text();
    const auto back = Address::fromSockaddr(reinterpret_cast<sockaddr*>(&s), length);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, f.address) << "the same host and port in either form";
  }
}

TEST(Address, ComparesWithOrWithoutThePortAndServesAsAKey) {
  const Address a = *Address::parse("192.0.2.1", 87), sameOtherPort = a.withPort(855);
  const Address six = *Address::parse("2001:db8::1", 87);
  EXPECT_TRUE(sameHost(a, sameOtherPort));
  EXPECT_NE(a, sameOtherPort);
  EXPECT_FALSE(sameHost(a, six));
  EXPECT_LT(a, six) << "IPv4 orders before IPv6";
  EXPECT_LT(a, sameOtherPort);
  EXPECT_NE(*Address::parse("fe80::1%lo"), *Address::parse("fe80::1")) << "the zone is part of the address";

  std::map<Address, int> perHost;
  std::unordered_set<Address> seen;
  for (const auto& x : {a, sameOtherPort, six, a}) {
    ++perHost[x.withPort(0)];
    seen.insert(x);
  }
  EXPECT_EQ(perHost.size(), 2u);
  EXPECT_EQ(perHost[a.withPort(0)], 3);
  EXPECT_EQ(seen.size(), 3u);

  const struct {
    Address address;
    const char* text;
  } fixed[] = {{Address(), "0.0.0.0"},
               {Address::any(Family::IPv6, 87), "::"},
               {Address::loopback(Family::IPv4), "127.0.0.1"},
               {Address::loopback(Family::IPv6), "::1"}};
  for (const auto& f : fixed) EXPECT_EQ(f.address.text(), f.text);
  const std::uint8_t header[4] = {198, 51, 100, 9};
  EXPECT_EQ(Address::fromBytes(Family::IPv4, header, 53).textWithPort(), "198.51.100.9:53");
}

TEST(Resolve, TakesLiteralsOfTheAskedFamilyAndSaysWhyOtherwise) {
  const struct {
    const char* typed;
    FamilyChoice choice;
    const char* result;  // the address, or a piece of the error line
    bool found;
  } cases[] = {
      {"::1", FamilyChoice::Any, "::1", true},
      {"[2001:db8::5]", FamilyChoice::IPv6, "2001:db8::5", true},
      {"192.0.2.1", FamilyChoice::IPv4, "192.0.2.1", true},
      {"::1", FamilyChoice::IPv4, "Адрес ::1 не является адресом IPv4", false},
      {"127.0.0.1", FamilyChoice::IPv6, "не является адресом IPv6", false},
      {"", FamilyChoice::Any, "Адрес сервера не указан", false},
      {"10.0.0.300", FamilyChoice::Any, "Адрес «10.0.0.300» не является адресом IPv4 или IPv6", false},
      {"2001:db8::g", FamilyChoice::Any, "Адрес «2001:db8::g» не является адресом IPv4 или IPv6", false},
      {"fe80::1%nosuch0", FamilyChoice::Any, "Зона «nosuch0» адреса «fe80::1%nosuch0» не найдена", false},
  };
  for (const auto& c : cases) {
    const auto address = resolve(c.typed, c.choice);
    EXPECT_EQ(address.ok(), c.found) << c.typed;
    if (address) {
      EXPECT_EQ(address->text(), c.result);
    } else {
      EXPECT_NE(address.error().text.find(c.result), std::string::npos) << address.error().text;
    }
  }
}

// A socket of `family` bound to its loopback, any port; a receive that gets nothing fails in 2 s.
Socket boundOnLoopback(Family family, int type) {
  Socket s = testing::openedSocket(family, type);
  EXPECT_EQ(setReceiveTimeout(s.fd(), 2000).code(), 0);
  EXPECT_EQ(bindTo(s.fd(), Address::loopback(family)).code(), 0);
  return s;
}

TEST(Sockets, DatagramsAndConnectionsOverBothLoopbacks) {
  REQUIRE_PRIVATE_NETWORK();
  for (const Family family : {Family::IPv4, Family::IPv6}) {
    SCOPED_TRACE(familyName(family));
    Socket server = boundOnLoopback(family, SOCK_DGRAM), client = boundOnLoopback(family, SOCK_DGRAM);
    const auto serverAddress = localAddress(server.fd());
    ASSERT_TRUE(serverAddress.has_value());
    EXPECT_EQ(serverAddress->port(), localPort(server.fd()));
    char buf[8];
    Address from;
    // Nothing waiting: a receive that may not wait tells it as a time-out, not as a failure.
    EXPECT_TRUE(receiveFrom(server.fd(), buf, sizeof buf, from, Wait::Now).timedOut());
    ASSERT_EQ(sendTo(client.fd(), "ping", 4, *serverAddress).value_or(0), 4u);
    ASSERT_EQ(receiveFrom(server.fd(), buf, sizeof buf, from).value_or(0), 4u);
    EXPECT_EQ(from, *localAddress(client.fd()));
    // A datagram larger than the buffer is refused whole, and the sender is left alone.
    const Address before = from;
    ASSERT_EQ(sendTo(server.fd(), "too long", 8, from).value_or(0), 8u);
    const auto cut = receiveFrom(client.fd(), buf, 4, from);
    EXPECT_EQ(cut.code(), EMSGSIZE);
    EXPECT_EQ(from, before);

    Socket listening = boundOnLoopback(family, SOCK_STREAM);
    ASSERT_EQ(listenOn(listening.fd(), 1).code(), 0);
    Socket connecting = testing::openedSocket(family, SOCK_STREAM);
    ASSERT_EQ(connectTo(connecting.fd(), *localAddress(listening.fd())).code(), 0);
    Address peer;
    const auto accepted = acceptFrom(listening.fd(), peer);
    ASSERT_EQ(accepted.code(), 0);
    EXPECT_EQ(peer, *localAddress(connecting.fd()));
    EXPECT_EQ(peer.family(), family);
    EXPECT_TRUE(receive(accepted->fd(), buf, sizeof buf, Wait::Now).timedOut());
    ASSERT_EQ(sendBytes(connecting.fd(), "ping", 4).value_or(0), 4u);
    EXPECT_EQ(receive(accepted->fd(), buf, sizeof buf).value_or(0), 4u);
  }
}

TEST(Sockets, DualStackSocketSeesIPv4PeersAsIPv4AndAnswersThem) {
  REQUIRE_PRIVATE_NETWORK();
  Socket dual = testing::openedSocket(Family::IPv6, SOCK_DGRAM);
  ASSERT_EQ(setReceiveTimeout(dual.fd(), 2000).code(), 0);
  ASSERT_EQ(setIPv6Only(dual.fd(), false).code(), 0);
  ASSERT_EQ(bindTo(dual.fd(), Address::any(Family::IPv6)).code(), 0);
  Socket four = boundOnLoopback(Family::IPv4, SOCK_DGRAM);
  const Address service = Address::loopback(Family::IPv4, localPort(dual.fd()));
  ASSERT_EQ(sendTo(four.fd(), "ping", 4, service).value_or(0), 4u);
  char buf[8];
  Address from;
  ASSERT_EQ(receiveFrom(dual.fd(), buf, sizeof buf, from).value_or(0), 4u);
  EXPECT_EQ(from.text(), "127.0.0.1");
  EXPECT_TRUE(from.isMapped());
  EXPECT_EQ(from, *localAddress(four.fd()));
  ASSERT_EQ(sendTo(dual.fd(), "pong", 4, from).value_or(0), 4u) << "the answer goes back through the dual-stack socket";
  Address answerFrom;
  ASSERT_EQ(receiveFrom(four.fd(), buf, sizeof buf, answerFrom).value_or(0), 4u);
  EXPECT_EQ(answerFrom, service);
}

// A Result keeps the code of the call that failed, whatever errno holds later, and hands its
// value or error over whole.
TEST(PlatformResult, KeepsTheFailingCallsCodeAndHandsOverWhatItHolds) {
  auto failed = [] () -> Result<int> {
    if (::close(-1) != 0) return lastError("close");
    return 1;
  }();
  errno = 0;
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().call, "close");
  EXPECT_EQ(failed.code(), EBADF);
  EXPECT_FALSE(failed.timedOut());

  Result<std::string> text{std::string("held")};
  ASSERT_TRUE(text);
  EXPECT_EQ(text.code(), 0);
  EXPECT_EQ(std::move(text).value(), "held");

  Status wouldWait{Error{"recv", EAGAIN, {}}};
  EXPECT_TRUE(wouldWait.timedOut());
  EXPECT_TRUE(Status{});
  EXPECT_EQ(statusOf(failed).code(), EBADF);
  EXPECT_EQ(Result<int>(Error{"close", EBADF, {}}).value_or(7), 7);
}

// The platform's calls name the call that failed and keep its code, and the resolver its line.
TEST(PlatformResult, SocketCallsAndTheResolverSayWhatFailed) {
  REQUIRE_PRIVATE_NETWORK();
  const Socket holder = boundOnLoopback(Family::IPv4, SOCK_STREAM);
  const Address held = *localAddress(holder.fd());
  const Socket second = testing::openedSocket(Family::IPv4, SOCK_STREAM);
  const Status taken = bindTo(second.fd(), held);
  ASSERT_FALSE(taken);
  EXPECT_EQ(taken.error().call, "bind");
  EXPECT_EQ(taken.code(), EADDRINUSE);

  // Nothing listens on the held port: refused, whether at once or once the connect is under way.
  ASSERT_EQ(setNonBlocking(second.fd()).code(), 0);
  const Connecting refused = connectWithin(second.fd(), held, 2000, StopEvent{});
  EXPECT_EQ(refused.end, ConnectEnd::Failed);
  EXPECT_EQ(refused.error.call, "connect");
  EXPECT_EQ(refused.error.code, ECONNREFUSED);

  EXPECT_EQ(openSocket(Family::IPv4, SOCK_RAW, 1000).error().call, "socket");
  const auto unnamed = resolve("", FamilyChoice::Any);
  ASSERT_FALSE(unnamed);
  EXPECT_EQ(unnamed.error().call, "getaddrinfo");
  EXPECT_EQ(unnamed.error().text, "Адрес сервера не указан");
}

}  // namespace
}  // namespace connchk::platform
