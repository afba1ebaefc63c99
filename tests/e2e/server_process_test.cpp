// The server program as a process among others: signals, a stdout that is gone, a restart while
// a connection of the last run lingers, a peer that vanishes, and no service able to start.
#include <signal.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/activity_log.h"
#include "common/cp1251.h"
#include "common/platform/net.h"
#include "tests/support/echo_server.h"
#include "tests/support/private_network.h"
#include "tests/support/rights.h"
#include "tests/support/program.h"
#include "tests/support/two_hosts.h"

namespace connchk::testing {
namespace {

using namespace std::chrono_literals;
using Host = TwoHosts::Host;

const std::string WaitingLine = "Ожидание нового запроса";

// One UDP and one TCP request to port 87, each answered.
void echoAnswersOverUdpAndTcp(const char* address = "127.0.0.1") {
  for (const int type : {SOCK_DGRAM, SOCK_STREAM}) {
    EchoPeer peer(type, address);
    ASSERT_TRUE(peer.connected());
    EXPECT_TRUE(peer.answers(echoRequest(32))) << (type == SOCK_DGRAM ? "UDP" : "TCP");
  }
}

std::string logText(const EchoServer& server) { return fromWindows1251(server.program.logBytes(ServerLogFileName)); }

// In the terminal and in the window alike.
TEST(ServerProcess, UserSignalsArePassedOverAHangUpGoesOnATerminationEnds) {
  REQUIRE_PRIVATE_NETWORK();
  struct Mode {
    std::vector<std::string> launcher, args;
  };
  for (const Mode& mode : {Mode{{}, {"--console"}}, Mode{{"env", "QT_QPA_PLATFORM=offscreen"}, {}}}) {
    SCOPED_TRACE(mode.args.empty() ? "window" : "terminal");
    EchoServer server;
    ASSERT_TRUE(server.start(mode.launcher, mode.args));
    ASSERT_TRUE(eventually([&] { return occurrences(logText(server), "Старт сервера") >= 15; })) << logText(server);
    // As log rotation does: the file is renamed, then the server is told.
    const std::string file = server.program.folder() + "/" + ServerLogFileName;
    ASSERT_EQ(std::rename(file.c_str(), (file + ".1").c_str()), 0);
    const std::string rotated = readFile(file + ".1");
    for (const int signal : {SIGUSR1, SIGUSR2, SIGHUP}) server.program.signal(signal);
    std::this_thread::sleep_for(200ms);
    ASSERT_TRUE(server.program.running());

    echoAnswersOverUdpAndTcp();
    eventually([&] { return occurrences(logText(server), WaitingLine) >= 2; });
    EXPECT_EQ(readFile(file + ".1"), rotated) << "the rotated file is left alone";
    const std::string fresh = logText(server);
    EXPECT_EQ(fresh.find("Старт сервера"), std::string::npos) << fresh;
    EXPECT_EQ(occurrences(fresh, WaitingLine), 2) << "the lines after the rotation are in a new file";

    server.program.signal(SIGTERM);
    EXPECT_EQ(server.program.wait(5000ms), 0);
  }
}

TEST(ServerProcess, ClientPassesOverAUserSignalAndEndsOnATermination) {
  REQUIRE_PRIVATE_NETWORK();
  EchoServer server;
  ASSERT_TRUE(server.start());
  Program client(CLIENT_PROGRAM);
  client.start({"--console", "--protocol", "TCP (порт 87)", "--count", "Бесконечно", "127.0.0.1"});
  ASSERT_TRUE(client.waitForOutput("Получен ответ от сервера"));
  client.signal(SIGUSR1);
  ASSERT_TRUE(client.waitForCount("Получен ответ от сервера", 2)) << "the run goes on";
  client.signal(SIGTERM);
  const int status = client.wait(5000ms);
  EXPECT_NE(status, -1) << "still running after SIGTERM";
  EXPECT_NE(status, 128 + SIGUSR1);
  EXPECT_NE(status, 128 + SIGTERM) << "ended by the signal's default action, not by the program";
  server.program.signal(SIGUSR1);
  server.program.signal(SIGTERM);
  EXPECT_EQ(server.program.wait(5000ms), 0);
}

// Started with stdout closed, or writing into a pipe whose reader has gone, the server goes on
// serving and keeps every line in its file.
TEST(ServerProcess, AStdoutThatIsGoneEndsNothing) {
  REQUIRE_PRIVATE_NETWORK();
  for (const std::string redirect : {">&-", "> >(exec true)"}) {
    SCOPED_TRACE(redirect);
    EchoServer server;
    ASSERT_TRUE(server.start({"bash", "-c", "exec \"$0\" \"$@\" " + redirect}));
    std::this_thread::sleep_for(200ms);  // the pipe's reader is gone by now
    echoAnswersOverUdpAndTcp();
    echoAnswersOverUdpAndTcp();
    EXPECT_TRUE(server.program.running());
    eventually([&] { return occurrences(logText(server), WaitingLine) >= 4; });
    EXPECT_EQ(occurrences(logText(server), WaitingLine), 4);
    server.program.signal(SIGTERM);
    EXPECT_EQ(server.program.wait(5000ms), 0);
  }
}

// Printing into a pipe that nobody reads holds up no answer (the terminal's lines are dropped,
// the file's are not), and a termination request still ends the server with every line in its file.
TEST(ServerProcess, AStdoutNobodyReadsHoldsUpNoTermination) {
  REQUIRE_PRIVATE_NETWORK();
  EchoServer server;
  ASSERT_TRUE(server.start({"bash", "-c", "exec \"$0\" \"$@\" > >(exec sleep 30)"}, {"--console", "--log-rate", "0"}));
  EchoPeer peer(SOCK_DGRAM);
  const Bytes request = echoRequest(32);
  constexpr int Requests = 2000;  // a pipe holds 64 KB, some 400 answers' lines
  int answered = 0;
  for (; answered < Requests; ++answered) {
    peer.send(request);
    if (!peer.receive()) break;
  }
  EXPECT_EQ(answered, Requests) << "an answer waited for the terminal";
  server.program.signal(SIGTERM);
  EXPECT_EQ(server.program.wait(8000ms), 0);
  EXPECT_EQ(occurrences(logText(server), WaitingLine), answered);
}

TEST(ServerProcess, KilledWithAConnectionOpenAndStartedAgainAtOnceServesTcp) {
  REQUIRE_PRIVATE_NETWORK();
  EchoServer first;
  ASSERT_TRUE(first.start());
  EchoPeer peer(SOCK_STREAM);
  ASSERT_TRUE(peer.answers(echoRequest(32)));
  first.program.signal(SIGKILL);
  first.program.wait();
  peer.close();
  EXPECT_TRUE(portBound("tcp", EchoPort, "06")) << "the last run's connection lingers in TIME_WAIT on port 87";

  EchoServer second;
  ASSERT_TRUE(second.start());
  echoAnswersOverUdpAndTcp();
  EXPECT_EQ(occurrences(second.program.output(), "Ошибка bind"), 0) << second.program.output();
}

// Every port taken and no raw-socket right: each of the fifteen says why it cannot start, and the
// terminal mode says that none could and ends with 1.
TEST(ServerProcess, NoServiceAbleToStartIsSaidAndEndsWith1) {
  REQUIRE_PRIVATE_NETWORK();
  UdpPeer echoUdp(EchoPort, silent, "0.0.0.0");
  UdpPeer terminal(TerminalPort, silent, "0.0.0.0");
  TcpPeer echoTcp(EchoPort, silent);
  Program server(SERVER_PROGRAM);
  server.startThrough(DropRawRight, {"--console"});
  EXPECT_EQ(server.wait(10000ms), 1) << server.output();
  const std::string said = "Ни одна служба не запустилась, сервер завершает работу";
  EXPECT_EQ(server.outputLines().back(), said);
  EXPECT_NE(server.errors().find(said), std::string::npos);
  EXPECT_EQ(occurrences(server.output(), "Ошибка 1 при открытии сокета"), 12);
  EXPECT_EQ(occurrences(server.output(), "Ошибка bind 98"), 3);
}

// A peer that vanishes without a word (its link goes down, then its host is removed): later
// clients are answered meanwhile, and keepalive ends its connection well before the 60 s after
// which a quiet connection is closed anyway.
TEST(ServerProcess, VanishedPeerIsFoundByKeepalive) {
  REQUIRE_PRIVATE_NETWORK();
  TwoHosts bed;
  REQUIRE_TWO_HOSTS(bed);
  EchoServer server;
  bed.inHost(Host::Server, [&] { EXPECT_TRUE(server.start()); });
  ASSERT_TRUE(server.program.running());
  std::unique_ptr<EchoPeer> peer;
  bed.inHost(Host::Client, [&] { peer = std::make_unique<EchoPeer>(SOCK_STREAM, TwoHosts::ServerAddress); });
  ASSERT_TRUE(peer->connected());
  ASSERT_TRUE(peer->answers(echoRequest(32)));

  const auto vanished = std::chrono::steady_clock::now();
  ASSERT_TRUE(runQuietly({"ip", "-n", bed.name(Host::Client), "link", "set", "veth0", "down"}));
  peer.reset();  // its closing cannot leave the host any more
  ASSERT_TRUE(runQuietly({"ip", "netns", "del", bed.name(Host::Client)}));

  bed.inHost(Host::Server, [] { echoAnswersOverUdpAndTcp(); });
  ASSERT_TRUE(server.program.waitForOutput("Ошибка приема ", 45000ms)) << server.program.output();
  EXPECT_LT(std::chrono::steady_clock::now() - vanished, 40s);
  EXPECT_EQ(occurrences(server.program.output(), "закрыто: нет запросов"), 0);
}

}  // namespace
}  // namespace connchk::testing
