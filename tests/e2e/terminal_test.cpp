// The terminal exchange end to end: the real client and server on two hosts joined by a veth
// pair, the server driven by a hand-made client, and the client driven by hand-made servers.
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/platform/sockets.h"
#include "common/protocol.h"
#include "tests/support/peers.h"
#include "tests/support/echo_server.h"
#include "tests/support/private_network.h"
#include "tests/support/program.h"
#include "tests/support/two_hosts.h"
#include "tests/support/udp_sniffer.h"

namespace connchk::testing {
namespace {

using Host = TwoHosts::Host;
using std::chrono::milliseconds;

const platform::Address ServerOnBed = literal(TwoHosts::ServerAddress, TerminalPort);
const platform::Address ServerOnLoopback = platform::Address::loopback(platform::Family::IPv4, TerminalPort);

// A layout B request of `length` bytes for terminal `terminal`.
Bytes terminalRequest(std::uint32_t terminal, std::size_t length = 40) {
  Bytes b(length, 0);
  buildTerminalRequest(b.data(), SendTimestamp(), terminal);
  return b;
}

Bytes slice(const Bytes& b, std::size_t from, std::size_t n) { return Bytes(b.begin() + from, b.begin() + from + n); }
Bytes markerBytes(const Marker& m) { return Bytes(m.begin(), m.end()); }

// A client made by hand: a UDP socket that sends what a test builds and reports what comes back.
class HandClient {
 public:
  explicit HandClient(std::uint16_t port = 0, const char* address = "0.0.0.0") {
    socket_ = openedSocket(platform::Family::IPv4, SOCK_DGRAM);
    EXPECT_EQ(platform::bindTo(socket_.fd(), literal(address, port)).code(), 0) << address << ":" << port;
  }
  void send(const Bytes& bytes, const platform::Address& to) {
    ASSERT_TRUE(platform::sendTo(socket_.fd(), bytes.data(), bytes.size(), to).ok());
  }
  std::optional<Received> receive(milliseconds limit = milliseconds(2000)) {
    pollfd p{socket_.fd(), POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(limit.count())) <= 0) return std::nullopt;
    Received r;
    r.bytes.resize(65536);
    const auto got = platform::receiveFrom(socket_.fd(), r.bytes.data(), r.bytes.size(), r.source);
    if (!got) return std::nullopt;
    r.bytes.resize(*got);
    r.at = std::chrono::steady_clock::now();
    return r;
  }

 private:
  platform::Socket socket_;
};

class TwoHostsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_PRIVATE_NETWORK();
    REQUIRE_TWO_HOSTS(bed);
  }
  bool startServerOnBed(Program& server) {
    bool up = false;
    bed.inHost(Host::Server, [&] { up = bool(startServer(server, {"--console", "--log-rate", "0"})); });
    return up;
  }
  // The terminal mode's arguments for a TELM-UDP run against the server host.
  static std::vector<std::string> clientArgs(const std::vector<std::string>& options) {
    std::vector<std::string> args{"--console", "--no-account", "--protocol", "TELM-UDP"};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(TwoHosts::ServerAddress);
    return args;
  }
  int runClient(Program& client, const std::vector<std::string>& options) {
    int status = -1;
    bed.inHost(Host::Client, [&] { status = client.run(clientArgs(options)); });
    return status;
  }
  void startClient(Program& client, const std::vector<std::string>& options) {
    bed.inHost(Host::Client, [&] { client.start(clientArgs(options)); });
  }
  // A sniffer of what reaches `host`.
  std::unique_ptr<UdpSniffer> sniffer(Host host) {
    std::unique_ptr<UdpSniffer> made;
    bed.inHost(host, [&] { made = std::make_unique<UdpSniffer>(); });
    return made;
  }

  TwoHosts bed;
};

// ---- the real client against the real server ----

TEST_F(TwoHostsTest, RoundSucceedsWithEveryLineAndAnswersFromPort856) {
  Program server(SERVER_PROGRAM);
  ASSERT_TRUE(startServerOnBed(server));
  const auto atServer = sniffer(Host::Server);
  const auto atClient = sniffer(Host::Client);

  Program client(CLIENT_PROGRAM);
  ASSERT_EQ(runClient(client, {"--terminal", "1", "--size", "32"}), 0) << client.output();

  EXPECT_TRUE(answered(roundLines(client), {R"(Соединение с 192\.0\.2\.1, порт 855 \(свой порт 855\))"},
                       {"Отослан запрос к серверу"}, "TELM-UDP"))
      << client.output();

  ASSERT_TRUE(server.waitForOutput("терминал №1\n"));
  EXPECT_TRUE(inOrder(server.outputLines(), {"Старт сервера, протокол TELM-UDP", "Статистика: 192.0.2.2 размер 40",
                                             "Принят пакет от 192.0.2.2 (unresolved), протокол TELM-UDP, 40 байт данных",
                                             "Отослано 40 байт данных, терминал №1", "Ожидание нового запроса"}));
  EXPECT_EQ(occurrences(server.output(), "Ожидание нового запроса"), 1);

  // On the wire: request to 855, both answers from 856 to the client's 855, confirmation to 856.
  ASSERT_TRUE(atServer->waitFor(toPort(856), 1));
  const auto inServer = atServer->seen();
  ASSERT_EQ(inServer.size(), 2u);
  EXPECT_EQ(inServer[0].destinationPort, TerminalPort);
  EXPECT_EQ(inServer[0].sourcePort, TerminalPort);
  ASSERT_EQ(inServer[0].payload.size(), 40u);
  EXPECT_EQ(slice(inServer[0].payload, 8, 4), (Bytes{1, 0, 0, 0}));
  EXPECT_EQ(slice(inServer[0].payload, 12, 12), markerBytes(RequestMarker));
  EXPECT_EQ(slice(inServer[1].payload, 12, 12), markerBytes(ReplyMarker));
  const auto inClient = atClient->seen();
  ASSERT_EQ(inClient.size(), 2u);
  for (const auto& answer : inClient) {
    EXPECT_EQ(answer.sourcePort, 856);
    EXPECT_EQ(answer.destinationPort, TerminalPort);
    EXPECT_EQ(answer.payload.size(), 40u);
  }
}

TEST_F(TwoHostsTest, Terminal999CarriesItsNumberAndIsAnsweredFromPort1854) {
  Program server(SERVER_PROGRAM);
  ASSERT_TRUE(startServerOnBed(server));
  const auto atServer = sniffer(Host::Server);
  const auto atClient = sniffer(Host::Client);

  Program client(CLIENT_PROGRAM);
  ASSERT_EQ(runClient(client, {"--terminal", "999", "--size", "12"}), 0) << client.output();
  ASSERT_TRUE(server.waitForOutput("Отослано 32 байт данных, терминал №999"));

  ASSERT_TRUE(atServer->waitFor(toPort(TerminalPort), 1));
  const auto request = atServer->seen().front();
  ASSERT_EQ(request.payload.size(), 32u);  // size 12 is raised to 24, plus 8
  EXPECT_EQ(slice(request.payload, 8, 4), (Bytes{0xE7, 0x03, 0, 0}));
  ASSERT_TRUE(atClient->waitFor(fromPort(1854), 2));
  EXPECT_EQ(atClient->seen().size(), 2u);
}

TEST_F(TwoHostsTest, TwoExchangesInARowWithTheSameNumber) {
  Program server(SERVER_PROGRAM);
  ASSERT_TRUE(startServerOnBed(server));
  Program client(CLIENT_PROGRAM);
  ASSERT_EQ(runClient(client, {"--terminal", "3", "--count", "2"}), 0) << client.output();
  EXPECT_EQ(occurrences(client.output(), "Получен ответ от сервера"), 2);
  ASSERT_TRUE(server.waitForCount("Отослано 40 байт данных, терминал №3", 2)) << server.output();
  EXPECT_EQ(occurrences(server.output(), "Ошибка"), 0) << server.output();
}

// Terminal 0 would ask for port 855, which the service holds itself: an erroneous request.
// Terminal 1 asks for a port that another program holds: it is refused without a bind, and the
// next client is served.
TEST_F(TwoHostsTest, TerminalZeroIsErroneousAndATakenPortLosesOnlyItsExchange) {
  Program server(SERVER_PROGRAM);
  ASSERT_TRUE(startServerOnBed(server));
  std::unique_ptr<UdpPeer> holder;
  bed.inHost(Host::Server, [&] { holder = std::make_unique<UdpPeer>(856, silent, "0.0.0.0"); });

  std::unique_ptr<HandClient> hand;
  bed.inHost(Host::Client, [&] { hand = std::make_unique<HandClient>(); });
  hand->send(terminalRequest(0), ServerOnBed);
  ASSERT_TRUE(server.waitForOutput("Принят ошибочный запрос")) << server.output();
  hand->send(terminalRequest(1, 50), ServerOnBed);
  const std::string foreign = "Порт терминала №1 занят другой программой, запрос отклонен";
  ASSERT_TRUE(server.waitForOutput(foreign)) << server.output();
  EXPECT_FALSE(hand->receive(milliseconds(200))) << "a failed exchange was answered";

  Program client(CLIENT_PROGRAM);
  ASSERT_EQ(runClient(client, {"--terminal", "2"}), 0) << client.output();
  ASSERT_TRUE(server.waitForOutput("терминал №2\n"));
  EXPECT_TRUE(inOrder(server.outputLines(),
                      {"Старт сервера, протокол TELM-UDP",
                       "Принят пакет от 192.0.2.2 (unresolved), протокол TELM-UDP, 40 байт данных",
                       "Принят ошибочный запрос",
                       "Принят пакет от 192.0.2.2 (unresolved), протокол TELM-UDP, 50 байт данных", foreign,
                       "Ожидание нового запроса",
                       "Принят пакет от 192.0.2.2 (unresolved), протокол TELM-UDP, 40 байт данных",
                       "Отослано 40 байт данных, терминал №2", "Ожидание нового запроса"}));
}

// Ports the server host's exchanges hold (856 to 1854), read in its namespace.
int terminalPortsHeld(const TwoHosts& bed) {
  int held = 0;
  bed.inHost(Host::Server, [&] {
    for (std::uint16_t port = TerminalPort + 1; port <= TerminalPort + 999; ++port) held += portBound("udp", port);
  });
  return held;
}

// One host asks 20 terminals from 20 ports, none confirmed: it holds at most 4 exchanges (the
// rest are refused while those may still be confirmed), and other hosts keep their places. Once
// the oldest could have been confirmed they give way: a real client of that host is served too.
TEST_F(TwoHostsTest, OneHostAskingManyTerminalsHoldsAtMostItsShare) {
  Program server(SERVER_PROGRAM);
  ASSERT_TRUE(startServerOnBed(server));
  std::vector<std::unique_ptr<HandClient>> burst;
  bed.inHost(Host::Client, [&] {
    for (std::uint32_t terminal = 1; terminal <= 20; ++terminal) {
      burst.push_back(std::make_unique<HandClient>());
      burst.back()->send(terminalRequest(terminal), ServerOnBed);
    }
  });
  ASSERT_TRUE(server.waitForCount("отклонен: все места ожидают подтверждения", 16)) << server.output();
  EXPECT_EQ(terminalPortsHeld(bed), 4);
  EXPECT_EQ(occurrences(server.output(), "Ожидание подтверждения прервано"), 0);

  std::this_thread::sleep_for(milliseconds(1100));
  Program client(CLIENT_PROGRAM);
  ASSERT_EQ(runClient(client, {"--terminal", "500", "--count", "1"}), 0) << client.output();
  ASSERT_TRUE(server.waitForOutput("Отослано 40 байт данных, терминал №500"));
  EXPECT_EQ(occurrences(server.output(), "Ожидание подтверждения прервано, терминал №1\n"), 1) << "the oldest gave way";
}

// ---- the real client against servers made by hand ----

// A terminal server made by hand on the server's own port 855: the first answer to a request
// (held back `hold`), and the final answer to anything else, taken for a confirmation.
Replies terminalServer(milliseconds hold) {
  return [hold](const Bytes& got) {
    if (hasMarker(got.data(), got.size(), layout_b::Marker, RequestMarker)) {
      return std::vector<Reply>{{withReplyMarker(got, layout_b::Marker), hold}};
    }
    return std::vector<Reply>{{got}};
  };
}

// Another host that saw the request sends perfect answers to the client's port 855 before the
// server's first answer: they are neither reflected nor taken, and every request goes to the server.
TEST_F(TwoHostsTest, ForgedDatagramsToPort855AreNeitherReflectedNorTaken) {
  ASSERT_TRUE(bed.addAddress(Host::Server, "192.0.2.3"));
  std::unique_ptr<UdpPeer> server;
  std::unique_ptr<UdpSender> stranger;
  bed.inHost(Host::Server, [&] {
    server = std::make_unique<UdpPeer>(TerminalPort, terminalServer(milliseconds(700)),
                                       TwoHosts::ServerAddress);
    stranger = std::make_unique<UdpSender>("192.0.2.3", TerminalPort + 7);
  });
  const auto atServerHost = sniffer(Host::Server);

  Program client(CLIENT_PROGRAM);
  startClient(client, {"--terminal", "7", "--count", "2"});
  ASSERT_TRUE(server->waitForCount(1));
  const Bytes forged = withReplyMarker(server->received().front().bytes, layout_b::Marker);
  stranger->send(forged, literal(TwoHosts::ClientAddress, TerminalPort));
  stranger->send(forged, literal(TwoHosts::ClientAddress, TerminalPort));
  EXPECT_EQ(client.wait(), 0) << client.output();

  const auto lines = roundLines(client);
  EXPECT_EQ(occurrences(client.output(), "Получен ответ от сервера"), 2) << client.output();
  const auto trips = roundTripsMs(lines);
  ASSERT_EQ(trips.size(), 2u);
  EXPECT_GE(trips[0], 690) << "a forged datagram was taken for an answer";
  // On the wire: two requests and two confirmations to the server's port 855, nothing to the stranger.
  ASSERT_TRUE(atServerHost->waitFor(toPort(TerminalPort), 4));
  std::size_t toStranger = 0;
  for (const auto& d : atServerHost->seen()) {
    if (d.destination == literal("192.0.2.3")) ++toStranger;
    if (d.destinationPort == TerminalPort) {
      EXPECT_EQ(d.destination, literal(TwoHosts::ServerAddress));
    }
  }
  EXPECT_EQ(toStranger, 0u);
  const auto got = server->received();
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(slice(got[2].bytes, 12, 12), markerBytes(RequestMarker)) << "round 2's request went to the server";
}

// Round 1: an empty datagram and a first answer cut short of its marker come before the first
// answer; neither is reflected. Round 2: a final answer cut short comes before the final answer.
// Round 3: an empty final answer, which tells that the server closed.
TEST_F(TwoHostsTest, CutAndEmptyAnswersAreNotTheExchangesAnswers) {
  int datagrams = 0;
  auto answer = [&](const Bytes& got) {
    const Bytes good = withReplyMarker(got, 12);
    switch (datagrams++) {
      case 0: return std::vector<Reply>{{Bytes{}}, {slice(good, 0, 23)}, {good}};
      case 3: return std::vector<Reply>{{slice(good, 0, 23)}, {good}};
      case 5: return std::vector<Reply>{{Bytes{}}};
      default: return std::vector<Reply>{{good}};
    }
  };
  std::unique_ptr<UdpPeer> server;
  bed.inHost(Host::Server, [&] { server = std::make_unique<UdpPeer>(TerminalPort, Replies(answer), "0.0.0.0"); });

  Program client(CLIENT_PROGRAM);
  ASSERT_EQ(runClient(client, {"--count", "3"}), 0) << client.output();
  const auto got = server->received();
  ASSERT_EQ(got.size(), 6u);
  EXPECT_EQ(got[1].bytes, withReplyMarker(got[0].bytes, 12)) << "the confirmation is the whole first answer";
  const auto lines = roundLines(client);
  ASSERT_EQ(lines.size(), 9u) << client.output();
  for (const std::size_t at : {1u, 4u}) EXPECT_TRUE(answeredRound(lines, at, "Отослан запрос к серверу", "TELM-UDP"));
  EXPECT_EQ(lines[7], "Отослан запрос к серверу");
  EXPECT_EQ(lines[8], "Сервер закрыл соединение");
}

TEST_F(TwoHostsTest, SilentServerGivesTheTimeOutAndTheNextRequestAfterThePause) {
  std::unique_ptr<UdpPeer> server;
  bed.inHost(Host::Server, [&] { server = std::make_unique<UdpPeer>(TerminalPort, silent, "0.0.0.0"); });
  Program client(CLIENT_PROGRAM);
  startClient(client, {"--count", "2"});
  ASSERT_TRUE(server->waitForCount(2, milliseconds(9000))) << client.output();
  const auto got = server->received();
  const auto gap = std::chrono::duration_cast<milliseconds>(got[1].at - got[0].at).count();
  EXPECT_GE(gap, 5900) << "five seconds of waiting, then the pause";
  EXPECT_LT(gap, 6700);
  ASSERT_TRUE(client.waitForCount("Отослан запрос к серверу", 2));
  EXPECT_TRUE(inOrder(roundLines(client),
                      {"Отослан запрос к серверу", "Превышено время ожидания ответа", "Отослан запрос к серверу"}));
}

// ---- one host is enough for these ----

TEST(TerminalOneHostTest, ClientCannotBindATakenPort855AndSendsNothing) {
  REQUIRE_PRIVATE_NETWORK();
  UdpPeer holder(TerminalPort, silent, "0.0.0.0");
  Program client(CLIENT_PROGRAM);
  EXPECT_EQ(client.run({"--console", "--protocol", "TELM-UDP", "127.0.0.1"}), 2);
  EXPECT_EQ(roundLines(client),
            (std::vector<std::string>{"Ошибка bind 98", "Порт 855 занят на этом хосте (сервером или другим клиентом)"}));
  EXPECT_FALSE(holder.waitForCount(1, milliseconds(200)));
}

class TerminalServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_PRIVATE_NETWORK();
    ASSERT_TRUE(startServer(server));
  }
  Program server{SERVER_PROGRAM};
  HandClient hand;
};

// A request in layout A, an empty datagram and a request cut short before its marker ends are
// not served; the short one even where the bytes left over from the request before would
// complete the marker.
TEST_F(TerminalServiceTest, RequestsWithoutTheirWholeMarkerAreErroneous) {
  Bytes layoutA(32, 0);
  buildEchoRequest(layoutA.data(), SendTimestamp());
  hand.send(layoutA, ServerOnLoopback);
  hand.send(Bytes{}, ServerOnLoopback);
  hand.send(terminalRequest(0), ServerOnLoopback);  // turned down, but leaves its marker behind
  hand.send(slice(terminalRequest(5), 0, 20), ServerOnLoopback);
  ASSERT_TRUE(server.waitForCount("Принят ошибочный запрос", 3)) << server.output();
  EXPECT_FALSE(hand.receive(milliseconds(200)));
  const auto lines = server.outputLines();
  EXPECT_TRUE(inOrder(lines, {"Старт сервера, протокол TELM-UDP",
                              "Принят пакет от 127.0.0.1 (unresolved), протокол TELM-UDP, 32 байт данных",
                              "Принят ошибочный запрос", "Клиент закрыл соединение",
                              "Принят пакет от 127.0.0.1 (unresolved), протокол TELM-UDP, 40 байт данных",
                              "Принят ошибочный запрос",
                              "Принят пакет от 127.0.0.1 (unresolved), протокол TELM-UDP, 20 байт данных",
                              "Принят ошибочный запрос"}));
  // Before the first valid request no waiting line; erroneous requests leave no statistics line.
  EXPECT_EQ(occurrences(server.output(), "Ожидание нового запроса"), 0);
  EXPECT_EQ(occurrences(server.output(), "Статистика:"), 0);
}

// Plays the client's side up to the confirmation: returns the first answer.
std::optional<Received> firstAnswer(HandClient& hand, std::uint32_t terminal, std::size_t length = 40) {
  hand.send(terminalRequest(terminal, length), ServerOnLoopback);
  return hand.receive();
}

// The client's terminal numbers are 1 to 999, the ports 856 to 1854: any other number (0 would name
// port 855 itself, 50000 port 50855, 64734 DNS's 53 once wrapped) is an erroneous request that
// binds nothing.
TEST_F(TerminalServiceTest, TerminalNumbersOutsideTheServedRangeAreErroneousAndBindNothing) {
  for (const std::uint32_t terminal : {0u, 1000u, 50000u, 64681u, 64734u, 65535u, 65537u, 0xFFFFFFFFu}) {
    hand.send(terminalRequest(terminal), ServerOnLoopback);
  }
  ASSERT_TRUE(server.waitForCount("Принят ошибочный запрос", 8)) << server.output();
  EXPECT_FALSE(hand.receive(milliseconds(200)));
  EXPECT_EQ(occurrences(server.output(), "Статистика:"), 0);
  EXPECT_FALSE(portBound("udp", 50855));
  EXPECT_FALSE(portBound("udp", 1855));
  platform::Socket dns = openedSocket(platform::Family::IPv4, SOCK_DGRAM);
  EXPECT_EQ(platform::bindTo(dns.fd(), platform::Address::any(platform::Family::IPv4, 53)).code(), 0) << "port 53 is taken";

  const auto last = firstAnswer(hand, 999);
  ASSERT_TRUE(last);
  EXPECT_EQ(last->source.port(), 1854);
  EXPECT_EQ(slice(last->bytes, 12, 12), markerBytes(ReplyMarker));
  hand.send(last->bytes, last->source);
  ASSERT_TRUE(hand.receive());
  EXPECT_TRUE(server.waitForOutput("Отослано 40 байт данных, терминал №999"));
}

// A confirmation without its marker, one too short to hold it (whatever the buffer still holds),
// and one shorter than the first answer that has its marker.
TEST_F(TerminalServiceTest, ConfirmationRules) {
  auto first = firstAnswer(hand, 4);
  ASSERT_TRUE(first);
  hand.send(terminalRequest(4), first->source);
  EXPECT_FALSE(hand.receive(milliseconds(300))) << "a confirmation without the reply marker was answered";

  first = firstAnswer(hand, 4);
  ASSERT_TRUE(first);
  hand.send(slice(first->bytes, 0, 20), first->source);
  EXPECT_FALSE(hand.receive(milliseconds(300))) << "a 20-byte confirmation was answered";

  first = firstAnswer(hand, 4, 60);
  ASSERT_TRUE(first);
  Bytes shorter = slice(first->bytes, 0, 30);
  shorter[29] = 0x77;
  hand.send(shorter, first->source);
  const auto final = hand.receive();
  ASSERT_TRUE(final);
  ASSERT_EQ(final->bytes.size(), 60u);
  EXPECT_EQ(slice(final->bytes, 0, 30), shorter);
  EXPECT_EQ(slice(final->bytes, 30, 30), slice(first->bytes, 30, 30));

  ASSERT_TRUE(server.waitForOutput("терминал №4\n"));
  EXPECT_TRUE(inOrder(server.outputLines(),
                      {"Принят пакет от 127.0.0.1 (unresolved) протокол TELM-UDP, 40 байт данных",
                       "Принят ошибочный запрос", "Ожидание нового запроса",
                       "Принят пакет от 127.0.0.1 (unresolved) протокол TELM-UDP, 20 байт данных",
                       "Принят ошибочный запрос", "Ожидание нового запроса",
                       "Принят пакет от 127.0.0.1 (unresolved), протокол TELM-UDP, 30 байт данных",
                       "Отослано 60 байт данных, терминал №4", "Ожидание нового запроса"}));
}

// The first answer reaches others too (sent on, say, or guessed): a datagram from another port or
// address is an erroneous request and gets nothing, and the real confirmation still gets its answer.
TEST_F(TerminalServiceTest, ConfirmationFromAnotherAddressOrPortIsNotAnswered) {
  const auto first = firstAnswer(hand, 6);
  ASSERT_TRUE(first);
  HandClient otherPort, otherAddress(0, "127.0.0.2");
  otherPort.send(first->bytes, first->source);
  ASSERT_TRUE(server.waitForCount("Принят ошибочный запрос", 1));
  otherAddress.send(first->bytes, first->source);
  ASSERT_TRUE(server.waitForCount("Принят ошибочный запрос", 2));
  EXPECT_FALSE(otherPort.receive(milliseconds(100)));
  EXPECT_FALSE(otherAddress.receive(milliseconds(100)));

  hand.send(first->bytes, first->source);
  const auto final = hand.receive();
  ASSERT_TRUE(final);
  EXPECT_EQ(final->bytes, first->bytes);
  ASSERT_TRUE(server.waitForOutput("терминал №6\n"));
  EXPECT_TRUE(inOrder(server.outputLines(),
                      {"Принят пакет от 127.0.0.1 (unresolved), протокол TELM-UDP, 40 байт данных",
                       "Принят ошибочный запрос",
                       "Принят пакет от 127.0.0.2 (unresolved), протокол TELM-UDP, 40 байт данных",
                       "Принят ошибочный запрос",
                       "Принят пакет от 127.0.0.1 (unresolved), протокол TELM-UDP, 40 байт данных",
                       "Отослано 40 байт данных, терминал №6", "Ожидание нового запроса"}));
  EXPECT_EQ(occurrences(server.output(), "Ожидание нового запроса"), 1) << "the wait went on";
}

// No confirmation within five seconds: the exchange ends with the receive's error, without a
// final answer, and the next request is served.
TEST_F(TerminalServiceTest, MissingConfirmationEndsTheExchangeWithoutFinalAnswer) {
  const auto first = firstAnswer(hand, 9);
  ASSERT_TRUE(first);
  const auto sentAt = std::chrono::steady_clock::now();
  ASSERT_TRUE(server.waitForOutput("Ошибка приема 11", milliseconds(7000))) << server.output();
  EXPECT_GE(std::chrono::steady_clock::now() - sentAt, milliseconds(4800));
  EXPECT_FALSE(hand.receive(milliseconds(100))) << "a final answer came without a confirmation";

  const auto again = firstAnswer(hand, 9);
  ASSERT_TRUE(again);
  hand.send(again->bytes, again->source);
  EXPECT_TRUE(hand.receive());
  ASSERT_TRUE(server.waitForOutput("терминал №9\n"));
  EXPECT_TRUE(inOrder(server.outputLines(), {"Статистика: 127.0.0.1 размер 40", "Ошибка приема 11",
                                             "Ожидание нового запроса",
                                             "Принят пакет от 127.0.0.1 (unresolved), протокол TELM-UDP, 40 байт данных",
                                             "Отослано 40 байт данных, терминал №9"}));
  EXPECT_EQ(occurrences(server.output(), "Принят пакет"), 1);
}

}  // namespace
}  // namespace connchk::testing
