// The real server under a hostile network, on a bed of two hosts (or the test's own loopback):
// forged senders, ICMP messages that are no requests, floods of requests and of connections,
// terminal numbers that name other programs' ports. Every load is bounded in count and time.
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/platform/sockets.h"
#include "common/protocol.h"
#include "common/text_format.h"
#include "tests/support/echo_server.h"
#include "tests/support/peers.h"
#include "tests/support/private_network.h"
#include "tests/support/program.h"
#include "tests/support/two_hosts.h"

namespace connchk::testing {
namespace {

using Host = TwoHosts::Host;
using Words = std::vector<std::string>;
using std::chrono::milliseconds;

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
        int error = 0;
        platform::Socket s = platform::openSocket(family, SOCK_DGRAM, 0, error);
        const int on = 1;
        ASSERT_EQ(six ? setsockopt(s.fd(), SOL_IPV6, IPV6_TRANSPARENT, &on, sizeof on)
                      : setsockopt(s.fd(), SOL_IP, IP_TRANSPARENT, &on, sizeof on),
                  0);
        const std::string forged = six ? format("2001:db8::f:%x", 100 + i) : format("192.0.2.%d", 100 + i);
        ASSERT_TRUE(platform::bindTo(s.fd(), literal(forged, 4000), error)) << forged << ": " << error;
        sockets_.push_back(std::move(s));
      }
    });
    thread_ = std::thread([this, server, perSecond, limit] {
      const Bytes request = echoRequest(64);
      const auto end = std::chrono::steady_clock::now() + limit;
      for (std::size_t n = 0; !stop_ && std::chrono::steady_clock::now() < end; ++n) {
        platform::sendTo(sockets_[n % sockets_.size()].fd(), request.data(), request.size(), server, platform::Wait::Now);
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

}  // namespace
}  // namespace connchk::testing
