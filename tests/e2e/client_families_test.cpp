// The real client over IPv6 and with either family forced, between the two hosts of the bed, and
// its ICMP echo as a user without rights. The server host answers through peers of the test as the
// server does (UDP and TCP echo on port 87, the terminal exchange with its answers from 855 + N,
// a responder per raw protocol) and through its kernel for ICMPv6 echo.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "client/protocol_catalogue.h"
#include "client/run_parameters.h"
#include "common/platform/sockets.h"
#include "common/protocol.h"
#include "tests/support/peers.h"
#include "tests/support/private_network.h"
#include "tests/support/program.h"
#include "tests/support/rights.h"
#include "tests/support/two_hosts.h"

namespace connchk::testing {
namespace {

using Host = TwoHosts::Host;
using Lines = std::vector<std::string>;
using Words = std::vector<std::string>;
using platform::Family;

constexpr const char* Unresolved = "Невозможно определить адрес ВЕЛТ-IP для подключения";

struct ClientRun {
  int status;
  Lines lines;
};

// Runs the client with `args` through `launcher` (a bed host's, rights dropped, or none) to its end.
ClientRun runClient(const Words& launcher, const Words& args) {
  Program client(CLIENT_PROGRAM);
  // A user without rights may write its log beside the program, as in a folder of its own.
  std::filesystem::permissions(client.folder(), std::filesystem::perms::others_all, std::filesystem::perm_options::add);
  client.startThrough(launcher, args);
  const int status = client.wait();
  // The summary at the end is checked elsewhere; here the lines of the rounds count.
  return {status, roundLines(client)};
}

std::string connectionLine(const std::string& address, int port) {
  return "Соединение с " + address + ", порт " + std::to_string(port) + R"( \(свой порт \d+\))";
}

Replies echoAt(std::size_t markerAt) {
  return [markerAt](const Bytes& request) { return std::vector<Reply>{{withReplyMarker(request, markerAt)}}; };
}

// The raw responder's answer: 20 bytes, the request's send time and the reply marker, to requests only.
std::vector<Reply> rawAnswer(const Bytes& got) {
  if (!hasMarker(got.data(), got.size(), layout_a::Marker, RequestMarker)) return {};
  return {{withReplyMarker(Bytes(got.begin(), got.begin() + layout_a::MinLength))}};
}

const std::vector<unsigned> RawProtocols = {53, 55, 56, 110, 111, 112, 113, 114, 115, 116, 117};

TEST(ClientFamilies, EveryProtocolTypeRunsOverIpv6BetweenTwoHosts) {
  REQUIRE_PRIVATE_NETWORK();
  TwoHosts bed;
  REQUIRE_TWO_HOSTS(bed);
  const std::string server = TwoHosts::ServerAddress6;
  std::unique_ptr<UdpPeer> udp, terminal, terminalAnswers;
  std::unique_ptr<TcpPeer> tcp;
  std::unique_ptr<RawPeer> icmpv6;
  std::map<unsigned, std::unique_ptr<RawPeer>> raw;
  bed.inHost(Host::Server, [&] {
    udp = std::make_unique<UdpPeer>(literal(server, EchoPort), echoAt(layout_a::Marker));
    tcp = std::make_unique<TcpPeer>(literal(server, EchoPort), echoAt(layout_a::Marker));
    // The terminal exchange: the first answer from port 856 (terminal 1), the confirmation
    // answered there with the final answer.
    terminalAnswers = std::make_unique<UdpPeer>(literal(server, TerminalPort + 1),
                                                [](const Bytes& confirmation) { return std::vector<Reply>{{confirmation}}; });
    terminal = std::make_unique<UdpPeer>(literal(server, TerminalPort), [&](const Bytes& request) {
      const Bytes first = withReplyMarker(request, layout_b::Marker);
      EXPECT_TRUE(platform::sendTo(terminalAnswers->fd(), first.data(), first.size(), terminal->received().back().source).ok());
      return std::vector<Reply>{};
    });
    icmpv6 = std::make_unique<RawPeer>(Family::IPv6, Icmpv6Protocol, [](const Bytes&) { return std::vector<Reply>{}; });
    for (const unsigned protocol : RawProtocols) {
      raw[protocol] = std::make_unique<RawPeer>(Family::IPv6, static_cast<int>(protocol), rawAnswer);
    }
  });

  // What each type's run writes and sends, by the procedure that serves it.
  struct Expected {
    Lines head;
    std::string sent;
    std::string label;
    Peer* peer;
    std::size_t requestSize;
    std::size_t markerAt;
  };
  const std::string sent = "Отослан запрос к серверу";
  const auto expected = [&](unsigned number, client::TestKind kind) -> Expected {
    switch (kind) {
      case client::TestKind::EchoUdp: return {{connectionLine(server, 87)}, sent, "IP-Клиент", udp.get(), 32, 8};
      case client::TestKind::EchoTcp: return {{connectionLine(server, 87)}, sent, "TCP", tcp.get(), 32, 8};
      case client::TestKind::TerminalUdp:
        return {{connectionLine(server, 855)}, sent, "TELM-UDP", terminal.get(), 40, 12};
      case client::TestKind::IcmpEcho: return {{}, sent + R"( \(1\))", "№1", icmpv6.get(), 32, 16};
      case client::TestKind::RawIp: break;
    }
    // The layout C payload alone: an IPv6 raw socket gives no header, so its marker stands at 8.
    return {{}, sent, "№" + std::to_string(number), raw.at(number).get(), 32, 8};
  };

  const Words onClient = bed.launcherIn(Host::Client);
  const auto catalogue = client::ProtocolCatalogue();
  for (std::size_t index = 0; index < catalogue.size(); ++index) {
    SCOPED_TRACE(catalogue[index].text);
    const auto number = catalogue[index].number;
    const Expected e = expected(number, client::chooseTest(static_cast<std::uint8_t>(number), static_cast<int>(index)));
    const auto run = runClient(onClient, {"--console", "--no-account", "--protocol", std::to_string(index), server});
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(answered(run.lines, e.head, {e.sent}, e.label));
    // The request as it reached the server host (for ICMPv6 the echo request among the
    // neighbour discovery messages), with the first identifier of the program.
    std::vector<Bytes> requests;
    for (const auto& got : e.peer->received()) {
      if (e.peer != icmpv6.get() || got.bytes[0] == layout_d6::EchoRequest) requests.push_back(got.bytes);
    }
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].size(), e.requestSize);
    EXPECT_TRUE(hasMarker(requests[0].data(), requests[0].size(), e.markerAt, RequestMarker));
    if (e.peer == icmpv6.get()) {
      EXPECT_EQ(readU16(requests[0].data(), layout_d::Identifier), 0);
    }
  }
  const auto confirmations = terminalAnswers->received();
  ASSERT_EQ(confirmations.size(), 1u) << "the confirmation goes to the port the first answer came from";
  EXPECT_TRUE(hasMarker(confirmations[0].bytes.data(), confirmations[0].bytes.size(), layout_b::Marker, ReplyMarker));
  EXPECT_EQ(confirmations[0].source.textWithPort(), std::string("[") + TwoHosts::ClientAddress6 + "]:855");
}

// A name with both A and AAAA records in the client host's own hosts file: -4 and -6 pick the
// family, no flag takes the resolver's first (IPv6, which the host reaches), and the connection
// line shows the address used. A family the name or literal lacks is refused with the reason.
TEST(ClientFamilies, MinusFourAndMinusSixPickTheFamilyOfANameWithBoth) {
  REQUIRE_PRIVATE_NETWORK();
  TwoHosts bed;
  REQUIRE_TWO_HOSTS(bed);
  ASSERT_TRUE(bed.setHostsFile(Host::Client, {"192.0.2.1 dual.test", "2001:db8::1 dual.test", "192.0.2.1 four.test"}));
  std::unique_ptr<UdpPeer> four, six;
  bed.inHost(Host::Server, [&] {
    four = std::make_unique<UdpPeer>(literal(TwoHosts::ServerAddress, EchoPort), echoAt(layout_a::Marker));
    six = std::make_unique<UdpPeer>(literal(TwoHosts::ServerAddress6, EchoPort), echoAt(layout_a::Marker));
  });
  const struct {
    Words args;
    int status;
    Lines head;  // the lines before the round, or all lines of a run that cannot start
  } cases[] = {
      {{"-4", "dual.test"}, 0, {connectionLine(R"(192\.0\.2\.1)", 87)}},
      {{"-6", "dual.test"}, 0, {connectionLine("2001:db8::1", 87)}},
      {{"dual.test"}, 0, {connectionLine("2001:db8::1", 87)}},
      {{"-6", "four.test"}, 2, {Unresolved, "У имени «four.test» нет адреса IPv6"}},
      {{"-4", "2001:db8::1"}, 2, {Unresolved, "Адрес 2001:db8::1 не является адресом IPv4"}},
      {{"none.test"}, 2, {Unresolved, "Имя «none.test» не найдено"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    Words args{"--console", "--no-account"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const auto run = runClient(bed.launcherIn(Host::Client), args);
    EXPECT_EQ(run.status, c.status);
    if (c.status == 0) {
      EXPECT_TRUE(answered(run.lines, c.head, {"Отослан запрос к серверу"}, "IP-Клиент"));
    } else {
      EXPECT_EQ(run.lines, c.head);
    }
  }
  EXPECT_EQ(four->received().size(), 1u);
  EXPECT_EQ(six->received().size(), 2u);
}

// ICMP echo as a user without any capability: through the kernel's datagram socket where
// ping_group_range lets the user's group in (said once; replies matched by the identifier the
// kernel gave), refused with what is missing where it does not.
TEST(ClientFamilies, IcmpWithoutRightsUsesTheDatagramSocketWhereTheGroupIsAllowed) {
  REQUIRE_PRIVATE_NETWORK();
  const std::string fallback = "Нет права на raw-сокеты: ICMP через непривилегированный сокет";
  const auto refusal = [](const std::string& icmp) {
    return Lines{"Ошибка bind 1", "Нет права открыть сокет " + icmp +
                                      ": нужно право CAP_NET_RAW (root или setcap cap_net_raw+ep) либо группа "
                                      "пользователя (65534) в net.ipv4.ping_group_range (сейчас 1 0)"};
  };
  const struct {
    const char* groups;
    const char* target;
    int status;
    Lines refused;  // the lines of a refused run
  } cases[] = {
      {"65534 65534", "127.0.0.1", 0, {}},
      {"65534 65534", "::1", 0, {}},
      {"1 0", "127.0.0.1", 2, refusal("ICMP")},
      {"1 0", "::1", 2, refusal("ICMPv6")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.groups) + " " + c.target);
    ASSERT_TRUE(setPingGroupRange(c.groups));
    const auto run = runClient(withoutRights(), {"--console", "--no-account", "--protocol", "ICMP", "--count", "2", c.target});
    EXPECT_EQ(run.status, c.status);
    if (c.status == 0) {
      EXPECT_TRUE(answered(run.lines, {fallback}, {R"(Отослан запрос к серверу \(1\))", R"(Отослан запрос к серверу \(2\))"},
                           "№1"));
    } else {
      EXPECT_EQ(run.lines, c.refused);
    }
  }
}

}  // namespace
}  // namespace connchk::testing
