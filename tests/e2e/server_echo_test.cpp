// The real server program's echo services on port 87, driven by the real client, by socat and
// scapy, and by sockets of the test's own, each case in a private network namespace.
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/activity_log.h"
#include "common/cp1251.h"
#include "common/platform/sockets.h"
#include "common/protocol.h"
#include "common/text_format.h"
#include "server/console.h"
#include "tests/support/echo_server.h"
#include "tests/support/peers.h"
#include "tests/support/private_network.h"
#include "tests/support/program.h"
#include "tests/support/two_hosts.h"

namespace connchk::testing {
namespace {

using std::chrono::milliseconds;

const std::string Loopback = "127.0.0.1";
const std::string WaitingLine = "Ожидание нового запроса";
const std::string ErroneousLine = "Принят ошибочный запрос";
const std::string ClosedLine = "Клиент закрыл соединение";

std::string packetLine(const std::string& protocol, std::size_t length) {
  return format("Принят пакет от 127.0.0.1 (unresolved), протокол %s, %zu байт данных", protocol.c_str(), length);
}
std::string sentLine(std::size_t length) { return format("Отослано %zu байт данных", length); }

// The first `length` bytes of `b`.
Bytes cut(Bytes b, std::size_t length) {
  b.resize(length);
  return b;
}

void writeBytes(const std::string& path, const Bytes& b) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}
Bytes readBytes(const std::string& path) {
  const std::string s = readFile(path);
  return Bytes(s.begin(), s.end());
}

// Runs a tool from Debian (socat, scapy) with a time limit; its exit status.
int runTool(const std::string& command) { return std::system(("timeout 20 " + command).c_str()); }

// Sends one file through socat to port 87 and keeps what comes back within a second.
Bytes throughSocat(EchoServer& server, const char* transport, const Bytes& payload) {
  const std::string in = server.program.folder() + "/socat-in.bin";
  const std::string out = server.program.folder() + "/socat-out.bin";
  writeBytes(in, payload);
  const int status = runTool(format("socat -b 65536 -t 1 -T 3 STDIO %s:127.0.0.1:87 < %s > %s 2>/dev/null",
                                    transport, in.c_str(), out.c_str()));
  EXPECT_EQ(status, 0) << "socat failed";
  return readBytes(out);
}

// Sends UDP datagrams to port 87 with scapy: each a Python bytes expression with its source port.
void throughScapy(const std::vector<std::pair<int, std::string>>& datagrams) {
  std::string script = "from scapy.all import *\nconf.L3socket = L3RawSocket\n";
  for (const auto& [sourcePort, payload] : datagrams) {
    script += format("send(IP(dst='127.0.0.1')/UDP(sport=%d, dport=87)/Raw(%s), verbose=0)\n", sourcePort,
                     payload.c_str());
  }
  ASSERT_EQ(runTool("/usr/bin/python3 -c \"" + script + "\""), 0) << "scapy failed";
}

bool allDigits(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "[HH:mm:ss] " and some text.
bool stamped(const std::string& line) {
  return line.size() > 11 && line[0] == '[' && allDigits(line.substr(1, 2)) && line[3] == ':' &&
         allDigits(line.substr(4, 2)) && line[6] == ':' && allDigits(line.substr(7, 2)) && line[9] == ']' &&
         line[10] == ' ';
}

// The client program's log: "[HH:mm:ss] " + line + CR LF for every line it printed.
void expectClientLogMatchesOutput(const Program& client) {
  std::string expected;
  for (const auto& line : client.outputLines()) {
    EXPECT_TRUE(stamped(line)) << line;
    expected += toWindows1251(line) + "\r\n";
  }
  EXPECT_EQ(client.logBytes(ClientLogFileName), expected);
}

// The server started afresh for each test, on the test's own loopback, writing every line.
class ServerEcho : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_PRIVATE_NETWORK();
    ASSERT_TRUE(server.start({}, {"--console", "--log-rate", "0"}));
  }
  EchoServer server;
};

void clientRunIsAnsweredAndLoggedOnBothSides(EchoServer& server, const std::string& protocolType,
                                             const std::string& label) {
  Program client(CLIENT_PROGRAM);
  ASSERT_EQ(client.run({"--console", "--no-account", "--protocol", protocolType, "--count", "2", "--size", "40", Loopback}), 0)
      << client.output() << client.errors();

  const auto said = withoutTimePrefixes(client.outputLines());
  ASSERT_GE(said.size(), 1u);
  const std::string connected = "Соединение с 127.0.0.1, порт 87 (свой порт ";
  EXPECT_TRUE(said[0].rfind(connected, 0) == 0 && said[0].back() == ')' &&
              allDigits(said[0].substr(connected.size(), said[0].size() - connected.size() - 1)))
      << said[0];
  const std::string answered = "Протокол " + label + ". Время приема-передачи: ";
  EXPECT_EQ(occurrences(client.output(), answered), 2) << client.output();
  expectClientLogMatchesOutput(client);

  ASSERT_TRUE(server.waitFor(WaitingLine, 2)) << server.program.output();
  std::vector<std::string> expected{"Старт сервера, протокол " + label, std::string(server::StatisticsMark) + "127.0.0.1 размер 40"};
  for (int round = 0; round < 2; ++round) {
    for (const auto& l : {packetLine(label, 40), sentLine(40), WaitingLine}) expected.push_back(l);
  }
  if (label == "TCP") {
    ASSERT_TRUE(server.waitFor(ClosedLine)) << server.program.output();
    expected.push_back(ClosedLine);
  }
  EXPECT_TRUE(inOrder(server.lines(), expected));
  EXPECT_EQ(occurrences(server.program.output(), server::StatisticsMark), 1) << "one line per sender";
  EXPECT_TRUE(server.logFileMatchesOutput());
  // One line's bytes spelled out: Windows-1251 text, then LF CR.
  const std::string waitingBytes = "\xCE\xE6\xE8\xE4\xE0\xED\xE8\xE5 \xED\xEE\xE2\xEE\xE3\xEE \xE7\xE0\xEF\xF0\xEE\xF1\xE0\n\r";
  EXPECT_EQ(occurrences(server.program.logBytes(ServerLogFileName), waitingBytes), 2);

  server.program.signal(SIGTERM);
  EXPECT_EQ(server.program.wait(milliseconds(5000)), 0) << "a termination request ends it as Exit does";
}

TEST_F(ServerEcho, ClientUdpRunIsAnsweredAndLoggedOnBothSides) {
  clientRunIsAnsweredAndLoggedOnBothSides(server, "IP-Клиент", "IP-Клиент");
}

TEST_F(ServerEcho, ClientTcpRunIsAnsweredAndLoggedOnBothSides) {
  clientRunIsAnsweredAndLoggedOnBothSides(server, "TCP (порт 87)", "TCP");
}

TEST_F(ServerEcho, UdpAnswerIsTheRequestWithTheReplyMarker) {
  EchoPeer peer(SOCK_DGRAM);
  const Bytes first = echoRequest(100);
  EXPECT_TRUE(peer.answers(first)) << "same length, only bytes 8 to 19 changed";
  EXPECT_TRUE(peer.answers(echoRequest(20)));

  ASSERT_TRUE(server.waitFor(WaitingLine, 2));
  EXPECT_TRUE(inOrder(server.lines(), {std::string(server::StatisticsMark) + "127.0.0.1 размер 100", packetLine("IP-Клиент", 100),
                                       sentLine(100), WaitingLine, packetLine("IP-Клиент", 20), sentLine(20), WaitingLine}));
  EXPECT_EQ(occurrences(server.program.output(), server::StatisticsMark), 1) << "the first size stays";
  EXPECT_TRUE(server.logFileMatchesOutput());
}

TEST_F(ServerEcho, UdpEmptyOrUnmarkedDatagramsGetNoAnswerAndTheNextIsServed) {
  EchoPeer peer(SOCK_DGRAM);
  peer.send({});
  ASSERT_TRUE(server.waitFor(ClosedLine));
  peer.send(echoRequest(32, std::nullopt));
  ASSERT_TRUE(server.waitFor(ErroneousLine));
  EXPECT_EQ(occurrences(server.program.output(), server::StatisticsMark), 0) << "an erroneous sender is not recorded";

  // Had either been answered, its answer would come first.
  EXPECT_TRUE(peer.answers(echoRequest(32)));
  ASSERT_TRUE(server.waitFor(WaitingLine));
  EXPECT_TRUE(inOrder(server.lines(), {ClosedLine, packetLine("IP-Клиент", 32), ErroneousLine,
                                       std::string(server::StatisticsMark) + "127.0.0.1 размер 32",
                                       packetLine("IP-Клиент", 32), sentLine(32), WaitingLine}));
  EXPECT_TRUE(server.logFileMatchesOutput());
}

TEST_F(ServerEcho, MarkerAtOffsetZeroIsAnsweredThereOverUdpButErroneousOverTcp) {
  const Bytes atZero = echoRequest(32, 0);
  EXPECT_EQ(throughSocat(server, "UDP", atZero), withReplyMarker(atZero, 0));
  ASSERT_TRUE(server.waitFor(WaitingLine));

  EXPECT_EQ(throughSocat(server, "TCP", atZero), Bytes{}) << "no answer over TCP";
  ASSERT_TRUE(server.waitFor(ClosedLine));
  EXPECT_TRUE(inOrder(server.lines(), {packetLine("IP-Клиент", 32), sentLine(32), WaitingLine, packetLine("TCP", 32),
                                       ErroneousLine, ClosedLine}));
  EXPECT_TRUE(server.logFileMatchesOutput());
}

// A request as large as UDP over IPv4 carries is taken whole and answered whole: a client that
// looks for the largest request a path carries must not meet a limit of the server's own.
TEST_F(ServerEcho, UdpDatagramOfAnySizeIsAnsweredWhole) {
  for (const std::size_t size : {std::size_t{2049}, std::size_t{65507}}) {
    const Bytes request = echoRequest(size);
    EXPECT_EQ(throughSocat(server, "UDP", request), withReplyMarker(request)) << size;
  }
  ASSERT_TRUE(server.waitFor(WaitingLine, 2));
  EXPECT_TRUE(inOrder(server.lines(), {packetLine("IP-Клиент", 2049), sentLine(2049), packetLine("IP-Клиент", 65507),
                                       sentLine(65507)}));
  EXPECT_TRUE(server.logFileMatchesOutput());
}

// Each short datagram follows one that left the rest of its marker in the service's buffer; only
// what was received may count.
TEST_F(ServerEcho, UdpDatagramTooShortForItsMarkerIsErroneous) {
  EchoPeer peer(SOCK_DGRAM);
  Bytes validAtZero = echoRequest(32, 0);
  validAtZero[19] = 'Q';
  ASSERT_TRUE(peer.answers(validAtZero, 0));
  peer.send(cut(echoRequest(20), 19));  // "CLI" ends at byte 18
  ASSERT_TRUE(server.waitFor(ErroneousLine, 1));

  Bytes unmarked = echoRequest(32, std::nullopt);
  unmarked[11] = 'Q';
  peer.send(unmarked);
  peer.send(cut(echoRequest(12, 0), 11));
  ASSERT_TRUE(server.waitFor(ErroneousLine, 3));

  EXPECT_TRUE(peer.answers(echoRequest(32))) << "no short datagram was answered";
  ASSERT_TRUE(server.waitFor(WaitingLine, 2));
  EXPECT_TRUE(inOrder(server.lines(), {packetLine("IP-Клиент", 19), ErroneousLine, packetLine("IP-Клиент", 32),
                                       ErroneousLine, packetLine("IP-Клиент", 11), ErroneousLine}));
}

// scapy sends from source port 0, to which nothing can be sent: the request is recorded, the send
// fails, and the service goes on. scapy's empty datagram is a closed client.
TEST_F(ServerEcho, UdpSendFailureIsLoggedAfterTheSenderIsRecorded) {
  throughScapy({{0, "b'\\x01' * 8 + b'\\xff' * 8 + b'CLIQ' + b'\\x00' * 12"}, {4000, "b''"}});
  ASSERT_TRUE(server.waitFor(ClosedLine));
  EXPECT_TRUE(inOrder(server.lines(), {std::string(server::StatisticsMark) + "127.0.0.1 размер 32", packetLine("IP-Клиент", 32),
                                       format("Возникла ошибка %i при передаче данных", EINVAL), ClosedLine}));
  EXPECT_EQ(occurrences(server.program.output(), WaitingLine), 0);

  EchoPeer peer(SOCK_DGRAM);
  EXPECT_TRUE(peer.answers(echoRequest(32)));
  EXPECT_TRUE(server.logFileMatchesOutput());
}

TEST_F(ServerEcho, TcpTwoRequestsInOneReceiveAreOneRequest) {
  Bytes both = echoRequest(32);
  const Bytes second = echoRequest(32);
  both.insert(both.end(), second.begin(), second.end());
  Bytes expected = withReplyMarker(both);  // the marker of the second request stays as it was
  EXPECT_EQ(throughSocat(server, "TCP", both), expected);
  ASSERT_TRUE(server.waitFor(ClosedLine));
  EXPECT_TRUE(inOrder(server.lines(), {packetLine("TCP", 64), sentLine(64), WaitingLine, ClosedLine}));
  EXPECT_EQ(occurrences(server.program.output(), "Принят пакет"), 1);
  EXPECT_TRUE(server.logFileMatchesOutput());
}

TEST_F(ServerEcho, TcpPieceWithoutWholeMarkerIsErroneousAndTheConnectionStays) {
  EchoPeer peer(SOCK_STREAM);
  ASSERT_TRUE(peer.connected());
  Bytes unmarked = echoRequest(32, std::nullopt);
  unmarked[19] = 'Q';  // the last byte of a marker at offset 8
  peer.send(unmarked);
  ASSERT_TRUE(server.waitFor(ErroneousLine, 1));
  peer.send(cut(echoRequest(20), 19));
  ASSERT_TRUE(server.waitFor(ErroneousLine, 2));
  EXPECT_TRUE(peer.answers(echoRequest(32))) << "the first bytes back are the valid request's";
  peer.close();
  ASSERT_TRUE(server.waitFor(ClosedLine));
  EXPECT_TRUE(inOrder(server.lines(), {packetLine("TCP", 32), ErroneousLine, packetLine("TCP", 19), ErroneousLine,
                                       packetLine("TCP", 32), sentLine(32), WaitingLine, ClosedLine}));
  EXPECT_EQ(occurrences(server.program.output(), ClosedLine), 1);
  EXPECT_TRUE(server.logFileMatchesOutput());
}

// However a request is cut on its way, its pieces make one request: each split below is answered
// once, with the whole request.
TEST_F(ServerEcho, TcpRequestInPiecesIsOneRequest) {
  EchoPeer peer(SOCK_STREAM);
  ASSERT_TRUE(peer.connected());
  for (const std::size_t first : {1, 10, 19}) {
    const Bytes whole = echoRequest(32);
    peer.send(Bytes(whole.begin(), whole.begin() + static_cast<long>(first)));
    std::this_thread::sleep_for(milliseconds(100));
    peer.send(Bytes(whole.begin() + static_cast<long>(first), whole.end()));
    EXPECT_EQ(peer.receive(), withReplyMarker(whole)) << "split after " << first;
  }
  ASSERT_TRUE(server.waitFor(WaitingLine, 3));
  EXPECT_EQ(occurrences(server.program.output(), ErroneousLine), 0);
  EXPECT_EQ(occurrences(server.program.output(), packetLine("TCP", 32)), 3);
}

// Connections that hold on: one idle, one with half a request, one that sends but never reads.
// None holds up a real client, answered within a second; the one whose answers stop moving is
// closed once they have not moved for five seconds, and the others are served as before.
TEST_F(ServerEcho, HeldConnectionsHoldUpNoOtherClient) {
  EchoPeer idle(SOCK_STREAM), half(SOCK_STREAM);
  ASSERT_TRUE(idle.connected() && half.connected());
  half.send(cut(echoRequest(32), 10));
  // A peer with a small window sends requests one by one (each whole, so that each is answered)
  // and takes no answer: soon its answers no longer fit into the server's buffers.
  platform::Socket deaf = openedSocket(platform::Family::IPv4, SOCK_STREAM);
  const int small = 4096;
  const timeval patience{0, 200000};
  ASSERT_EQ(setsockopt(deaf.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
  ASSERT_EQ(setsockopt(deaf.fd(), SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience), 0);
  ASSERT_EQ(platform::connectTo(deaf.fd(), literal("127.0.0.1", EchoPort)).code(), 0);
  const Bytes big = echoRequest(2048);
  for (int i = 0; i < 100 && platform::sendBytes(deaf.fd(), big.data(), big.size()).value_or(0) == big.size(); ++i) {
    std::this_thread::sleep_for(milliseconds(10));
  }

  Program client(CLIENT_PROGRAM);
  ASSERT_EQ(client.run({"--console", "--no-account", "--protocol", "TCP (порт 87)", Loopback}), 0) << client.output();
  EXPECT_EQ(occurrences(client.output(), "Время приема-передачи: 0:00."), 1) << client.output();
  ASSERT_TRUE(server.waitFor("Соединение с 127.0.0.1 закрыто: ответ не уходит 5 с", 1, milliseconds(15000)));
  EXPECT_TRUE(inOrder(server.lines(), {packetLine("TCP", 10), ErroneousLine})) << "half a request, once it paused";

  EXPECT_TRUE(idle.answers(echoRequest(40))) << "the idle connection is still served";
  EXPECT_TRUE(server.logFileMatchesOutput());
}

// A hundred clients on as many loopback addresses (one address may hold only 16 connections).
TEST_F(ServerEcho, HundredTcpClientsAtOnceAreEachAnswered) {
  std::vector<platform::Socket> clients;
  for (int i = 0; i < 100; ++i) {
    platform::Socket s = openedSocket(platform::Family::IPv4, SOCK_STREAM);
    ASSERT_EQ(platform::bindTo(s.fd(), literal(format("127.0.1.%d", i + 1))).code(), 0);
    ASSERT_EQ(platform::connectTo(s.fd(), literal(Loopback, EchoPort)).code(), 0) << "connection " << i;
    const timeval patience{2, 0};
    setsockopt(s.fd(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    clients.push_back(std::move(s));
  }
  for (std::size_t i = 0; i < clients.size(); ++i) {
    const Bytes request = echoRequest(20 + i);
    ASSERT_EQ(platform::sendBytes(clients[i].fd(), request.data(), request.size()).value_or(0), request.size());
  }
  for (std::size_t i = 0; i < clients.size(); ++i) {
    Bytes answer(20 + i);
    std::size_t have = 0;
    while (have < answer.size()) {
      const auto got = platform::receive(clients[i].fd(), answer.data() + have, answer.size() - have);
      if (got.value_or(0) == 0) break;
      have += *got;
    }
    EXPECT_EQ(answer, withReplyMarker(echoRequest(20 + i))) << "client " << i;
  }
  clients.clear();
  EXPECT_TRUE(server.waitFor(ClosedLine, 100));
}

// With no descriptor left the accept fails: the service logs it, pauses, tries again, and serves
// the waiting connection once descriptors are back.
TEST_F(ServerEcho, FailedAcceptIsLoggedAndAcceptedAgainAfterAPause) {
  ASSERT_TRUE(server.logFileMatchesOutput());  // the log holds its file open from now on
  const pid_t pid = server.program.pid();
  int lowestFree = 0;
  while (std::filesystem::is_symlink(format("/proc/%d/fd/%d", pid, lowestFree))) ++lowestFree;
  rlimit old{}, tight{};
  ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, nullptr, &old), 0);
  tight = old;
  tight.rlim_cur = static_cast<rlim_t>(lowestFree);
  ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, &tight, nullptr), 0);

  // The accept already waiting may hold its descriptor from before; this connection takes it.
  EchoPeer(SOCK_STREAM).close();
  EchoPeer peer(SOCK_STREAM);
  ASSERT_TRUE(peer.connected());
  const Bytes valid = echoRequest(32);
  peer.send(valid);
  const std::string failed = format("Ошибка приема %i", EMFILE);
  ASSERT_TRUE(server.waitFor(failed, 2)) << server.program.output();
  std::this_thread::sleep_for(milliseconds(1000));
  EXPECT_LE(occurrences(server.program.output(), failed), 30) << "it pauses between tries";
  EXPECT_EQ(occurrences(server.program.output(), "Принят пакет"), 0) << "no connection it did not get is served";

  ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, &old, nullptr), 0);
  EXPECT_EQ(peer.receive(), withReplyMarker(valid));
  EXPECT_TRUE(server.waitFor(WaitingLine));
  // The log holds its file open: no line is lost while no descriptor is left.
  EXPECT_EQ(server.program.errors().find(LogFileAlertText), std::string::npos) << server.program.errors();
  EXPECT_TRUE(server.logFileMatchesOutput());
}

TEST(ServerStart, UdpPortTakenLeavesTheTcpServiceServing) {
  REQUIRE_PRIVATE_NETWORK();
  platform::Socket taken = openedSocket(platform::Family::IPv4, SOCK_DGRAM);
  ASSERT_EQ(platform::bindTo(taken.fd(), literal("0.0.0.0", EchoPort)).code(), 0);

  EchoServer server;
  ASSERT_TRUE(server.start());  // the port taken here counts as bound
  ASSERT_TRUE(server.waitFor(format("Ошибка bind %i", EADDRINUSE))) << server.program.output();
  EXPECT_TRUE(inOrder(server.lines(), {"Старт сервера, протокол IP-Клиент", format("Ошибка bind %i", EADDRINUSE)}));

  EchoPeer peer(SOCK_STREAM);
  ASSERT_TRUE(peer.connected());
  EXPECT_TRUE(peer.answers(echoRequest(32)));
  EXPECT_TRUE(server.program.running());
  EXPECT_TRUE(server.logFileMatchesOutput());
}

TEST_F(ServerEcho, TerminationUnderLoadKeepsEveryPrintedLineInTheFile) {
  // A bounded burst of requests keeps the log busy while the termination request arrives.
  std::thread load([] {
    EchoPeer peer(SOCK_DGRAM);
    const Bytes valid = echoRequest(32);
    for (int i = 0; i < 3000; ++i) (void)platform::sendBytes(peer.fd(), valid.data(), valid.size());  // load only
  });
  ASSERT_TRUE(server.waitFor(WaitingLine, 20));
  server.program.signal(SIGTERM);
  load.join();
  EXPECT_EQ(server.program.wait(milliseconds(5000)), 0);
  EXPECT_TRUE(server.logFileMatchesOutput());
}

TEST(ServerProgram, CommandLine) {
  Program version(SERVER_PROGRAM);
  EXPECT_EQ(version.run({"--version"}), 0);
  EXPECT_EQ(version.output(), "server Version 1.0\n");
  Program help(SERVER_PROGRAM);
  EXPECT_EQ(help.run({"--help"}), 0);
  EXPECT_NE(help.output().find("--console"), std::string::npos);
  Program wrong(SERVER_PROGRAM);
  EXPECT_EQ(wrong.run({"--bogus"}), 2);
  EXPECT_NE(wrong.errors().find("--bogus"), std::string::npos);
}

}  // namespace
}  // namespace connchk::testing
