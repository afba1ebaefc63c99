// The real server under a hostile network, on a bed of two hosts (or the test's own loopback):
// forged senders, ICMP messages that are no requests, floods of requests and of connections,
// terminal numbers that name other programs' ports. Every load is bounded in count and time.
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/platform/wait.h"
#include "common/platform/sockets.h"
#include "common/protocol.h"
#include "common/text_format.h"
#include "common/activity_log.h"
#include "common/cp1251.h"
#include "tests/support/echo_server.h"
#include "tests/support/http_get.h"
#include "tests/support/peers.h"
#include "tests/support/private_network.h"
#include "tests/support/program.h"
#include "tests/support/routed_chain.h"
#include "tests/support/small_disk.h"
#include "tests/support/two_hosts.h"

namespace connchk::testing {
namespace {

// Nobody signals it: the waits below end by their time limit or readiness.
const platform::StopEvent NeverStops;

using Host = TwoHosts::Host;
using Words = std::vector<std::string>;
using std::chrono::milliseconds;
constexpr const char* DiskRoomAgain = "На диске снова достаточно места, строки запросов записываются";

// The server started on the server host of a two-host bed.
struct ServerHost {
  ServerHost() {
    if (!bed.ready()) return;
    server.program.startThrough(bed.launcherIn(Host::Server), {"--console"});
    bed.inHost(Host::Server, [&] { serving = serverServes(server.program); });
  }
  TwoHosts bed;
  EchoServer server;
  ::testing::AssertionResult serving = ::testing::AssertionFailure() << "no bed";
};

// Runs the real client on the client host; its output.
std::string clientOnClientHost(const TwoHosts& bed, const Words& args) {
  Program client(CLIENT_PROGRAM);
  client.startThrough(bed.launcherIn(Host::Client), with({"--console"}, args));
  client.wait(milliseconds(60000));
  return client.output();
}

struct LeftOutSum {
  int lines = 0;
  long long answered = 0, erroneous = 0, unsent = 0;
};

// A layout B request for `terminal`.
Bytes terminalRequest(std::uint32_t terminal) {
  Bytes request(40, 0);
  buildTerminalRequest(request.data(), SendTimestamp(), terminal);
  return request;
}

int answeredRounds(const std::string& clientOutput) { return occurrences(clientOutput, ". Время приема-передачи: "); }

// Senders on the server's own network with addresses nobody answers for: sockets bound to those
// addresses (IP_TRANSPARENT lets a socket send from an address its host does not have), each
// sending valid UDP echo requests in turn, `perSecond` in all, until stopped or `limit` passes.
class ForgedSenders {
 public:
  ForgedSenders(const TwoHosts& bed, platform::Family family, int perSecond, milliseconds limit) {
    const bool six = family == platform::Family::IPv6;
    const auto server = literal(six ? TwoHosts::ServerAddress6 : TwoHosts::ServerAddress, EchoPort);
    bed.inHost(Host::Client, [&] {
      for (int i = 0; i < 50; ++i) {
        platform::Socket s = openedSocket(family, SOCK_DGRAM);
        const int on = 1;
        ASSERT_EQ(six ? setsockopt(s.fd(), SOL_IPV6, IPV6_TRANSPARENT, &on, sizeof on)
                      : setsockopt(s.fd(), SOL_IP, IP_TRANSPARENT, &on, sizeof on),
                  0);
        const std::string forged = six ? format("2001:db8::f:%x", 100 + i) : format("192.0.2.%d", 100 + i);
        ASSERT_EQ(platform::bindTo(s.fd(), literal(forged, 4000)).code(), 0) << forged;
        sockets_.push_back(std::move(s));
      }
    });
    thread_ = std::thread([this, server, perSecond, limit] {
      const Bytes request = echoRequest(64);
      const auto end = std::chrono::steady_clock::now() + limit;
      for (std::size_t n = 0; !stop_ && std::chrono::steady_clock::now() < end; ++n) {
        // A flood: a send that finds no room is one request fewer.
        (void)platform::sendTo(sockets_[n % sockets_.size()].fd(), request.data(), request.size(), server,
                               platform::Wait::Now);
        std::this_thread::sleep_for(milliseconds(1000 / perSecond));
      }
    });
  }
  ~ForgedSenders() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::vector<platform::Socket> sockets_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Answers to forged senders wait for neighbours that never answer; a real client beside them is
// answered every time, over either family.
TEST(ServerBounds, ForgedOnLinkSendersStopNoUdpAnswer) {
  REQUIRE_PRIVATE_NETWORK();
  ServerHost host;
  REQUIRE_TWO_HOSTS(host.bed);
  ASSERT_TRUE(host.serving);
  for (const auto family : {platform::Family::IPv4, platform::Family::IPv6}) {
    const bool six = family == platform::Family::IPv6;
    SCOPED_TRACE(six ? "IPv6" : "IPv4");
    ForgedSenders forged(host.bed, family, 200, milliseconds(30000));
    std::this_thread::sleep_for(milliseconds(4000));  // the answers held for them have filled up by now
    const auto out = clientOnClientHost(
        host.bed, {"-c", "10", "-i", "0.2", "-W", "2", six ? TwoHosts::ServerAddress6 : TwoHosts::ServerAddress});
    EXPECT_EQ(answeredRounds(out), 10) << out;
  }
}

// Sends valid UDP echo requests to the server on loopback, `perSecond` for `limit`, and takes
// the answers; how many went and came back.
struct Flood {
  int sent = 0;
  int answered = 0;
};
Flood floodUdpEcho(int perSecond, milliseconds limit) {
  EchoPeer peer(SOCK_DGRAM);
  const Bytes request = echoRequest(32);
  Flood flood;
  std::atomic<bool> sending{true};
  std::thread taker([&] {
    std::uint8_t answer[64];
    while (sending || platform::receive(peer.fd(), answer, sizeof answer, platform::Wait::Now).value_or(0) > 0) {
      if (platform::receive(peer.fd(), answer, sizeof answer, platform::Wait::Now).value_or(0) > 0) {
        ++flood.answered;
      } else {
        std::this_thread::sleep_for(milliseconds(1));
      }
    }
  });
  const auto start = std::chrono::steady_clock::now();
  const auto step = std::chrono::microseconds(1000000 / perSecond);
  for (auto next = start; next - start < limit; next += step) {
    std::this_thread::sleep_until(next);
    if (platform::sendBytes(peer.fd(), request.data(), request.size(), platform::Wait::Now).value_or(0) > 0) ++flood.sent;
  }
  std::this_thread::sleep_for(milliseconds(300));
  sending = false;
  taker.join();
  return flood;
}

// The numbers of the count lines of one protocol: answered, erroneous and unsent requests whose
// lines were left out, summed.
LeftOutSum leftOutOf(const std::string& output, const std::string& protocol) {
  const std::regex line("Пропущены строки запросов, протокол " + protocol +
                        R"(: отвечено (\d+), ошибочных (\d+), без ответа (\d+))");
  LeftOutSum sum;
  for (std::sregex_iterator i(output.begin(), output.end(), line), end; i != end; ++i) {
    ++sum.lines;
    sum.answered += std::stoll((*i)[1]);
    sum.erroneous += std::stoll((*i)[2]);
    sum.unsent += std::stoll((*i)[3]);
  }
  return sum;
}

// Ten seconds of requests at 3000 a second: every one is answered while the log writes the lines
// of 100 a second, and once a second how many it left out; the counts add up to every request.
TEST(ServerBounds, AFloodOfRequestsWritesABoundedLog) {
  REQUIRE_PRIVATE_NETWORK();
  EchoServer server;
  ASSERT_TRUE(server.start({}, {"--console", "--metrics", "127.0.0.1:9187"}));
  const auto logPath = server.program.folder() + "/" + ServerLogFileName;
  const auto before = std::filesystem::file_size(logPath);
  Program client(CLIENT_PROGRAM);
  client.start({"--console", "-c", "5", "-i", "1", "127.0.0.1"});
  const Flood flood = floodUdpEcho(3000, milliseconds(10000));
  EXPECT_EQ(client.wait(), 0);
  EXPECT_EQ(answeredRounds(client.output()), 5) << "the answers go on";
  EXPECT_GT(flood.answered, flood.sent * 9 / 10);

  const auto answeredAll = [&] {
    auto samples = samplesOf(httpGet("http://127.0.0.1:9187/metrics").body);
    return static_cast<long long>(samples["connchk_server_requests_answered_total{protocol=\"udp\"}"]);
  };
  const long long answered = answeredAll();
  EXPECT_GE(answered, flood.answered + 5);
  // Lines written plus lines left out make every request, once the last second is told.
  ASSERT_TRUE(eventually([&] {
    return occurrences(server.program.output(), "Отослано 32 байт данных\n") +
               leftOutOf(server.program.output(), "IP-Клиент").answered ==
           answered;
  })) << answered;
  const auto left = leftOutOf(server.program.output(), "IP-Клиент");
  EXPECT_GE(left.lines, 9);
  EXPECT_LE(left.lines, 12) << "one line a second";
  EXPECT_LE(occurrences(server.program.output(), "Отослано 32 байт данных\n"), 12 * 100);
  EXPECT_LE(std::filesystem::file_size(logPath) - before, 2u << 20);
  EXPECT_TRUE(server.logFileMatchesOutput());
}

// With less room on the log's disk than it keeps free, the requests are answered without lines,
// said once; once room is back, another line says so, and the tally of what was left out follows.
TEST(ServerBounds, BelowTheKeepFreeMarginNoRequestLines) {
  REQUIRE_PRIVATE_NETWORK();
  EchoServer server;
  SmallDisk disk(server.program.folder() + "/disk", 8u << 20);
  ASSERT_TRUE(disk.ready()) << disk.problem();
  const std::string filler = disk.folder() + "/filler";
  std::ofstream(filler) << std::string(4u << 20, 'x');
  std::filesystem::create_symlink(disk.folder() + "/" + ServerLogFileName,
                                  server.program.folder() + "/" + ServerLogFileName);
  ASSERT_TRUE(server.start({}, {"--console", "--log-keep-free", "6M"}));
  const std::string low = "МБ, меньше запаса 6 МБ: строки запросов не записываются";  // about 4 MB are free
  ASSERT_TRUE(server.program.waitForOutput(low + "\n")) << server.program.output();
  EchoPeer peer(SOCK_DGRAM);
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(peer.answers(echoRequest(32))) << i;
  std::this_thread::sleep_for(milliseconds(1500));  // a second's tally would be told by now
  EXPECT_EQ(occurrences(server.program.output(), "Принят пакет"), 0) << server.program.output();
  EXPECT_EQ(occurrences(server.program.output(), "Пропущены строки"), 0) << "nothing but the one line";

  std::filesystem::remove(filler);
  ASSERT_TRUE(server.waitFor(DiskRoomAgain));
  ASSERT_TRUE(server.waitFor("Пропущены строки запросов, протокол IP-Клиент: отвечено 20, ошибочных 0, без ответа 0"));
  EXPECT_TRUE(peer.answers(echoRequest(40)));
  EXPECT_TRUE(server.waitFor("Принят пакет от 127.0.0.1 (unresolved), протокол IP-Клиент, 40 байт данных"));
  EXPECT_EQ(occurrences(server.program.output(), low), 1) << "said once";
  const std::string file = fromWindows1251(readFile(disk.folder() + "/" + ServerLogFileName));
  const auto lowAt = file.find(low);
  EXPECT_NE(lowAt, std::string::npos);
  EXPECT_LT(lowAt, file.find(DiskRoomAgain));
}

// One host holds 600 connections to port 87 (none sends a byte); another host of the same
// network is served at once, and the first is told where its share ends.
TEST(ServerBounds, OneHostWithManyTcpConnectionsLocksNoOtherHostOut) {
  REQUIRE_PRIVATE_NETWORK();
  ServerHost host;
  REQUIRE_TWO_HOSTS(host.bed);
  ASSERT_TRUE(host.serving);
  ASSERT_TRUE(host.bed.addAddress(Host::Client, "192.0.2.3"));
  std::vector<platform::Socket> held;
  std::unique_ptr<EchoPeer> other;
  host.bed.inHost(Host::Client, [&] {
    for (int i = 0; i < 600; ++i) {
      platform::Socket s = openedSocket(platform::Family::IPv4, SOCK_STREAM);
      ASSERT_EQ(platform::setNonBlocking(s.fd()).code(), 0);
      // Connects in the background: the server takes or refuses each as it comes.
      (void)platform::connectTo(s.fd(), literal(TwoHosts::ServerAddress, EchoPort));
      held.push_back(std::move(s));
    }
  });
  ASSERT_TRUE(host.server.waitFor("Соединение с 192.0.2.2 отклонено: открыто соединений с этого адреса 16", 100));
  host.bed.inHost(Host::Client, [&] {
    platform::Socket s = openedSocket(platform::Family::IPv4, SOCK_STREAM);
    ASSERT_EQ(platform::bindTo(s.fd(), literal("192.0.2.3")).code(), 0);
    ASSERT_EQ(platform::connectTo(s.fd(), literal(TwoHosts::ServerAddress, EchoPort)).code(), 0);
    const Bytes request = echoRequest(40);
    ASSERT_EQ(platform::sendBytes(s.fd(), request.data(), request.size()).value_or(0), 40u);
    Bytes answer(40);
    std::size_t have = 0;
    while (have < answer.size() && platform::waitReadable(s.fd(), NeverStops, 3000) == platform::WaitResult::Ready) {
      const auto got = platform::receive(s.fd(), answer.data() + have, answer.size() - have);
      if (got.value_or(0) == 0) break;
      have += *got;
    }
    EXPECT_EQ(answer, withReplyMarker(request)) << "the other host is answered";
  });
  EXPECT_EQ(occurrences(host.server.program.output(), "отклонено: открыто соединений 512"), 0);
}

// A port another program holds, or held a moment ago, is never bound for a terminal: not while
// the program holds it, nor between its close and its next bind (a VPN restarting, say).
TEST(ServerBounds, ATerminalPortAnotherProgramHadIsNeverBound) {
  REQUIRE_PRIVATE_NETWORK();
  EchoServer server;
  ASSERT_TRUE(server.start({}, {"--console", "--log-rate", "0"}));
  const std::uint16_t vpnPort = 1194;  // terminal 339
  auto vpn = std::make_unique<platform::Socket>(openedSocket(platform::Family::IPv4, SOCK_DGRAM));
  ASSERT_EQ(platform::bindTo(vpn->fd(), literal("127.0.0.1", vpnPort)).code(), 0);
  UdpSender client("127.0.0.1", 0);
  const auto to = literal("127.0.0.1", TerminalPort);
  client.send(terminalRequest(339), to);
  ASSERT_TRUE(server.waitFor("Порт терминала №339 занят другой программой, запрос отклонен"));
  vpn.reset();  // the program restarts: its port is free for a moment
  std::this_thread::sleep_for(milliseconds(1100));
  client.send(terminalRequest(339), to);
  ASSERT_TRUE(server.waitFor("Порт терминала №339 занят другой программой, запрос отклонен", 2));
  EXPECT_FALSE(portBound("udp", vpnPort)) << "the port is left for its program";
  EXPECT_EQ(occurrences(server.program.output(), "Ошибка bind"), 0);
}

// Sends one request on `fd` in one send and reads the stream until as many bytes came back.
Bytes streamRound(int fd, const Bytes& request) {
  EXPECT_EQ(platform::sendBytes(fd, request.data(), request.size()).value_or(0), request.size());
  Bytes answer(request.size());
  std::size_t have = 0;
  while (have < answer.size() && platform::waitReadable(fd, NeverStops, 3000) == platform::WaitResult::Ready) {
    const auto got = platform::receive(fd, answer.data() + have, answer.size() - have);
    if (got.value_or(0) == 0) break;
    have += *got;
  }
  answer.resize(have);
  return answer;
}

// TCP requests longer than a segment, over a 1500 path and over a 1400-MTU hop: each answered
// whole, and logged as one received line with its whole size.
TEST(ServerBounds, TcpRequestsOfAnySizeAreAnsweredWholeAcrossSegments) {
  REQUIRE_PRIVATE_NETWORK();
  for (const int mtu : {0, 1400}) {
    SCOPED_TRACE(mtu == 0 ? "1500 path" : "1400-MTU hop");
    RoutedChain chain({.serverLinkMtu = mtu});
    REQUIRE_CHAIN(chain);
    EchoServer server;
    server.program.startThrough(chain.launcherIn(RoutedChain::Node::Server), {"--console", "--log-rate", "0"});
    chain.inNode(RoutedChain::Node::Server, [&] { ASSERT_TRUE(serverServes(server.program)); });
    const std::vector<std::size_t> sizes = {1449, 1500, 65000};
    chain.inNode(RoutedChain::Node::Client, [&] {
      platform::Socket s = openedSocket(platform::Family::IPv4, SOCK_STREAM);
      ASSERT_EQ(platform::connectTo(s.fd(), literal(RoutedChain::ServerAddress, EchoPort)).code(), 0);
      for (int round = 0; round < 2; ++round) {
        for (const std::size_t size : sizes) {
          const Bytes request = echoRequest(size);
          EXPECT_EQ(streamRound(s.fd(), request), withReplyMarker(request)) << size;
        }
      }
    });
    for (const std::size_t size : sizes) {
      EXPECT_TRUE(server.waitFor(format("Принят пакет от %s (unresolved), протокол TCP, %zu байт данных",
                                        RoutedChain::ClientAddress, size), 2)) << server.program.output();
      EXPECT_TRUE(server.waitFor(format("Отослано %zu байт данных", size), 2));
    }
    EXPECT_EQ(occurrences(server.program.output(), "Принят пакет"), 6);
    EXPECT_EQ(occurrences(server.program.output(), "Принят ошибочный запрос"), 0);
  }
}

// Requests fed a byte at a time with small gaps, one after the other's answer on one connection.
TEST(ServerBounds, TcpRequestFedByteByByteIsOneRequest) {
  REQUIRE_PRIVATE_NETWORK();
  EchoServer server;
  ASSERT_TRUE(server.start({}, {"--console", "--log-rate", "0"}));
  EchoPeer peer(SOCK_STREAM);
  ASSERT_TRUE(peer.connected());
  for (int round = 0; round < 2; ++round) {
    const Bytes request = echoRequest(40);
    for (const std::uint8_t byte : request) {
      peer.send({byte});
      std::this_thread::sleep_for(milliseconds(10));
    }
    Bytes answer;
    while (answer.size() < request.size()) {
      const auto got = peer.receive();
      if (!got) break;
      answer.insert(answer.end(), got->begin(), got->end());
    }
    EXPECT_EQ(answer, withReplyMarker(request)) << "round " << round;
  }
  ASSERT_TRUE(server.waitFor("Принят пакет от 127.0.0.1 (unresolved), протокол TCP, 40 байт данных", 2))
      << server.program.output();
  EXPECT_EQ(occurrences(server.program.output(), "Принят ошибочный запрос"), 0);
}

}  // namespace
}  // namespace connchk::testing
