// The real server program's echo services on port 87, driven by the real client, by socat and
// scapy, and by sockets of the test's own, each case in a private network namespace.
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/activity_log.h"
#include "common/cp1251.h"
#include "common/platform/net.h"
#include "common/protocol.h"
#include "common/text_format.h"
#include "server/console.h"
#include "tests/support/peers.h"
#include "tests/support/private_network.h"
#include "tests/support/program.h"

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

// A layout A request: a recognisable timestamp, the request marker at `markerAt`, numbered filler.
Bytes request(std::size_t length, std::optional<std::size_t> markerAt = layout_a::Marker) {
  Bytes b(length);
  for (std::size_t i = 0; i < length; ++i) b[i] = static_cast<std::uint8_t>(0x10 + i % 0x60);
  if (markerAt && *markerAt + MarkerSize <= length) putMarker(b.data(), *markerAt, RequestMarker);
  return b;
}

// Whether a socket is bound to port 87 in this namespace, read from the kernel's table.
bool portBound(const char* table, const char* state) {
  std::ifstream in(std::string("/proc/net/") + table);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, st;
    fields >> slot >> local >> remote >> st;
    if (local.size() > 5 && local.substr(local.size() - 5) == ":0057" && (state == nullptr || st == state)) {
      return true;
    }
  }
  return false;
}

// The server program in terminal mode, started and waited for until its echo services serve.
class Server {
 public:
  Server() : program(SERVER_PROGRAM) {}

  ::testing::AssertionResult start() {
    program.start({"--console"});
    const auto deadline = std::chrono::steady_clock::now() + milliseconds(10000);
    while (!(portBound("udp", nullptr) && portBound("tcp", "0A"))) {
      if (std::chrono::steady_clock::now() > deadline || !program.running()) {
        return ::testing::AssertionFailure() << "the echo services did not start:\n" << program.output();
      }
      std::this_thread::sleep_for(milliseconds(10));
    }
    return ::testing::AssertionSuccess();
  }

  std::vector<std::string> lines() const { return program.outputLines(); }
  bool waitFor(const std::string& line, int times = 1) { return program.waitForCount(line + "\n", times); }

  // Every printed line but the statistics ones stands in the log file, in the same order, as
  // Windows-1251 text ending LF CR. The file line is written just after the printed one.
  ::testing::AssertionResult logFileMatchesOutput() {
    std::string expected, actual;
    for (int tries = 0; tries < 200; ++tries) {
      expected.clear();
      for (const auto& line : lines()) {
        if (line.rfind(server::StatisticsMark, 0) != 0) expected += toWindows1251(line) + "\n\r";
      }
      actual = program.logBytes(ServerLogFileName);
      if (actual == expected) return ::testing::AssertionSuccess();
      std::this_thread::sleep_for(milliseconds(10));
    }
    return ::testing::AssertionFailure() << "server_log.txt:\n" << fromWindows1251(actual) << "\nprinted:\n"
                                         << program.output();
  }

  Program program;
};

// A socket of the test's own, connected to port 87, that gives up on an answer after two seconds.
class Peer {
 public:
  explicit Peer(int type) {
    int error = 0;
    socket_ = platform::openSocket(type, 0, error);
    platform::setReceiveTimeout(socket_.fd(), 2000, error);
    auto to = platform::ipv4Address(htonl(INADDR_LOOPBACK), EchoPort);
    connected_ = platform::connectTo(socket_.fd(), to, error);
  }
  bool connected() const { return connected_; }
  void send(const Bytes& b) { ASSERT_EQ(platform::sendBytes(socket_.fd(), b.data(), b.size()).n, ssize_t(b.size())); }
  std::optional<Bytes> receive() {
    Bytes b(65536);
    const auto got = platform::receive(socket_.fd(), b.data(), b.size());
    if (got.n <= 0) return std::nullopt;
    b.resize(static_cast<std::size_t>(got.n));
    return b;
  }
  void close() { socket_.close(); }
  int fd() const { return socket_.fd(); }

 private:
  platform::Socket socket_;
  bool connected_ = false;
};

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
Bytes throughSocat(Server& server, const char* transport, const Bytes& payload) {
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

void clientRunIsAnsweredAndLoggedOnBothSides(const std::string& protocolType, const std::string& label) {
  Server server;
  ASSERT_TRUE(server.start());
  Program client(CLIENT_PROGRAM);
  ASSERT_EQ(client.run({"--console", "--protocol", protocolType, "--count", "2", "--size", "40", Loopback}), 0)
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

TEST(ServerEcho, ClientUdpRunIsAnsweredAndLoggedOnBothSides) {
  REQUIRE_PRIVATE_NETWORK();
  clientRunIsAnsweredAndLoggedOnBothSides("IP-Клиент", "IP-Клиент");
}

TEST(ServerEcho, ClientTcpRunIsAnsweredAndLoggedOnBothSides) {
  REQUIRE_PRIVATE_NETWORK();
  clientRunIsAnsweredAndLoggedOnBothSides("TCP (порт 87)", "TCP");
}

TEST(ServerEcho, UdpAnswerIsTheRequestWithTheReplyMarker) {
  REQUIRE_PRIVATE_NETWORK();
  Server server;
  ASSERT_TRUE(server.start());
  Peer peer(SOCK_DGRAM);
  const Bytes first = request(100);
  peer.send(first);
  EXPECT_EQ(peer.receive(), withReplyMarker(first)) << "same length, only bytes 8 to 19 changed";
  const Bytes second = request(20);
  peer.send(second);
  EXPECT_EQ(peer.receive(), withReplyMarker(second));

  ASSERT_TRUE(server.waitFor(WaitingLine, 2));
  EXPECT_TRUE(inOrder(server.lines(), {std::string(server::StatisticsMark) + "127.0.0.1 размер 100", packetLine("IP-Клиент", 100),
                                       sentLine(100), WaitingLine, packetLine("IP-Клиент", 20), sentLine(20), WaitingLine}));
  EXPECT_EQ(occurrences(server.program.output(), server::StatisticsMark), 1) << "the first size stays";
  EXPECT_TRUE(server.logFileMatchesOutput());
}

TEST(ServerEcho, UdpEmptyOrUnmarkedDatagramsGetNoAnswerAndTheNextIsServed) {
  REQUIRE_PRIVATE_NETWORK();
  Server server;
  ASSERT_TRUE(server.start());
  Peer peer(SOCK_DGRAM);
  peer.send({});
  ASSERT_TRUE(server.waitFor(ClosedLine));
  peer.send(request(32, std::nullopt));
  ASSERT_TRUE(server.waitFor(ErroneousLine));
  EXPECT_EQ(occurrences(server.program.output(), server::StatisticsMark), 0) << "an erroneous sender is not recorded";

  // Had either been answered, its answer would come first.
  const Bytes valid = request(32);
  peer.send(valid);
  EXPECT_EQ(peer.receive(), withReplyMarker(valid));
  ASSERT_TRUE(server.waitFor(WaitingLine));
  EXPECT_TRUE(inOrder(server.lines(), {ClosedLine, packetLine("IP-Клиент", 32), ErroneousLine,
                                       std::string(server::StatisticsMark) + "127.0.0.1 размер 32",
                                       packetLine("IP-Клиент", 32), sentLine(32), WaitingLine}));
  EXPECT_TRUE(server.logFileMatchesOutput());
}

TEST(ServerEcho, MarkerAtOffsetZeroIsAnsweredThereOverUdpButErroneousOverTcp) {
  REQUIRE_PRIVATE_NETWORK();
  Server server;
  ASSERT_TRUE(server.start());
  const Bytes atZero = request(32, 0);
  EXPECT_EQ(throughSocat(server, "UDP", atZero), withReplyMarker(atZero, 0));
  ASSERT_TRUE(server.waitFor(WaitingLine));

  EXPECT_EQ(throughSocat(server, "TCP", atZero), Bytes{}) << "no answer over TCP";
  ASSERT_TRUE(server.waitFor(ClosedLine));
  EXPECT_TRUE(inOrder(server.lines(), {packetLine("IP-Клиент", 32), sentLine(32), WaitingLine, packetLine("TCP", 32),
                                       ErroneousLine, ClosedLine}));
  EXPECT_TRUE(server.logFileMatchesOutput());
}

TEST(ServerEcho, UdpDatagramOver2048BytesFailsTheReceive) {
  REQUIRE_PRIVATE_NETWORK();
  Server server;
  ASSERT_TRUE(server.start());
  EXPECT_EQ(throughSocat(server, "UDP", request(2049)), Bytes{});
  ASSERT_TRUE(server.waitFor(format("Ошибка приема %i", EMSGSIZE)));
  const Bytes largest = request(2048);
  EXPECT_EQ(throughSocat(server, "UDP", largest), withReplyMarker(largest)) << "2048 bytes still fit";
  ASSERT_TRUE(server.waitFor(WaitingLine));
  EXPECT_TRUE(inOrder(server.lines(), {format("Ошибка приема %i", EMSGSIZE), packetLine("IP-Клиент", 2048), sentLine(2048)}));
  EXPECT_TRUE(server.logFileMatchesOutput());
}

// Each short datagram follows one that left the rest of its marker in the service's buffer; only
// what was received may count.
TEST(ServerEcho, UdpDatagramTooShortForItsMarkerIsErroneous) {
  REQUIRE_PRIVATE_NETWORK();
  Server server;
  ASSERT_TRUE(server.start());
  Peer peer(SOCK_DGRAM);
  Bytes validAtZero = request(32, 0);
  validAtZero[19] = 'Q';
  peer.send(validAtZero);
  ASSERT_EQ(peer.receive(), withReplyMarker(validAtZero, 0));
  peer.send(cut(request(20), 19));  // "CLI" ends at byte 18
  ASSERT_TRUE(server.waitFor(ErroneousLine, 1));

  Bytes unmarked = request(32, std::nullopt);
  unmarked[11] = 'Q';
  peer.send(unmarked);
  peer.send(cut(request(12, 0), 11));
  ASSERT_TRUE(server.waitFor(ErroneousLine, 3));

  const Bytes valid = request(32);
  peer.send(valid);
  EXPECT_EQ(peer.receive(), withReplyMarker(valid)) << "no short datagram was answered";
  ASSERT_TRUE(server.waitFor(WaitingLine, 2));
  EXPECT_TRUE(inOrder(server.lines(), {packetLine("IP-Клиент", 19), ErroneousLine, packetLine("IP-Клиент", 32),
                                       ErroneousLine, packetLine("IP-Клиент", 11), ErroneousLine}));
}

// scapy sends from source port 0, to which nothing can be sent: the request is recorded, the send
// fails, and the service goes on. scapy's empty datagram is a closed client.
TEST(ServerEcho, UdpSendFailureIsLoggedAfterTheSenderIsRecorded) {
  REQUIRE_PRIVATE_NETWORK();
  Server server;
  ASSERT_TRUE(server.start());
  throughScapy({{0, "b'\\x01' * 8 + b'\\xff' * 8 + b'CLIQ' + b'\\x00' * 12"}, {4000, "b''"}});
  ASSERT_TRUE(server.waitFor(ClosedLine));
  EXPECT_TRUE(inOrder(server.lines(), {std::string(server::StatisticsMark) + "127.0.0.1 размер 32", packetLine("IP-Клиент", 32),
                                       format("Возникла ошибка %i при передаче данных", EINVAL), ClosedLine}));
  EXPECT_EQ(occurrences(server.program.output(), WaitingLine), 0);

  Peer peer(SOCK_DGRAM);
  const Bytes valid = request(32);
  peer.send(valid);
  EXPECT_EQ(peer.receive(), withReplyMarker(valid));
  EXPECT_TRUE(server.logFileMatchesOutput());
}

TEST(ServerEcho, TcpTwoRequestsInOneReceiveAreOneRequest) {
  REQUIRE_PRIVATE_NETWORK();
  Server server;
  ASSERT_TRUE(server.start());
  Bytes both = request(32);
  const Bytes second = request(32);
  both.insert(both.end(), second.begin(), second.end());
  Bytes expected = withReplyMarker(both);  // the marker of the second request stays as it was
  EXPECT_EQ(throughSocat(server, "TCP", both), expected);
  ASSERT_TRUE(server.waitFor(ClosedLine));
  EXPECT_TRUE(inOrder(server.lines(), {packetLine("TCP", 64), sentLine(64), WaitingLine, ClosedLine}));
  EXPECT_EQ(occurrences(server.program.output(), "Принят пакет"), 1);
  EXPECT_TRUE(server.logFileMatchesOutput());
}

TEST(ServerEcho, TcpPieceWithoutWholeMarkerIsErroneousAndTheConnectionStays) {
  REQUIRE_PRIVATE_NETWORK();
  Server server;
  ASSERT_TRUE(server.start());
  Peer peer(SOCK_STREAM);
  ASSERT_TRUE(peer.connected());
  Bytes unmarked = request(32, std::nullopt);
  unmarked[19] = 'Q';  // the last byte of a marker at offset 8
  peer.send(unmarked);
  ASSERT_TRUE(server.waitFor(ErroneousLine, 1));
  peer.send(cut(request(20), 19));
  ASSERT_TRUE(server.waitFor(ErroneousLine, 2));
  const Bytes valid = request(32);
  peer.send(valid);
  EXPECT_EQ(peer.receive(), withReplyMarker(valid)) << "the first bytes back are the valid request's";
  peer.close();
  ASSERT_TRUE(server.waitFor(ClosedLine));
  EXPECT_TRUE(inOrder(server.lines(), {packetLine("TCP", 32), ErroneousLine, packetLine("TCP", 19), ErroneousLine,
                                       packetLine("TCP", 32), sentLine(32), WaitingLine, ClosedLine}));
  EXPECT_EQ(occurrences(server.program.output(), ClosedLine), 1);
  EXPECT_TRUE(server.logFileMatchesOutput());
}

TEST(ServerEcho, SecondTcpClientWaitsUntilTheFirstCloses) {
  REQUIRE_PRIVATE_NETWORK();
  Server server;
  ASSERT_TRUE(server.start());
  Peer first(SOCK_STREAM);
  ASSERT_TRUE(first.connected());
  const Bytes a = request(32);
  first.send(a);
  ASSERT_EQ(first.receive(), withReplyMarker(a));

  Peer second(SOCK_STREAM);
  ASSERT_TRUE(second.connected()) << "it waits in the listen queue";
  const Bytes b = request(48);
  second.send(b);
  first.send(a);
  ASSERT_EQ(first.receive(), withReplyMarker(a)) << "the first connection is still the one served";
  EXPECT_EQ(occurrences(server.program.output(), packetLine("TCP", 48)), 0);

  first.close();
  EXPECT_EQ(second.receive(), withReplyMarker(b)) << "what it sent meanwhile is received once accepted";
  ASSERT_TRUE(server.waitFor(sentLine(48)));
  EXPECT_TRUE(inOrder(server.lines(), {sentLine(32), sentLine(32), ClosedLine, packetLine("TCP", 48), sentLine(48)}));
  EXPECT_TRUE(server.logFileMatchesOutput());
}

// With no descriptor left the accept fails: the service logs it, pauses, tries again, and serves
// the waiting connection once descriptors are back.
TEST(ServerEcho, FailedAcceptIsLoggedAndAcceptedAgainAfterAPause) {
  REQUIRE_PRIVATE_NETWORK();
  Server server;
  ASSERT_TRUE(server.start());
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
  Peer(SOCK_STREAM).close();
  Peer peer(SOCK_STREAM);
  ASSERT_TRUE(peer.connected());
  const Bytes valid = request(32);
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

TEST(ServerEcho, UdpPortTakenLeavesTheTcpServiceServing) {
  REQUIRE_PRIVATE_NETWORK();
  int error = 0;
  platform::Socket taken = platform::openSocket(SOCK_DGRAM, 0, error);
  ASSERT_TRUE(platform::bindTo(taken.fd(), platform::anyAddress(EchoPort), error)) << error;

  Server server;
  ASSERT_TRUE(server.start());  // the port taken here counts as bound
  ASSERT_TRUE(server.waitFor(format("Ошибка bind %i", EADDRINUSE))) << server.program.output();
  EXPECT_TRUE(inOrder(server.lines(), {"Старт сервера, протокол IP-Клиент", format("Ошибка bind %i", EADDRINUSE)}));

  Peer peer(SOCK_STREAM);
  ASSERT_TRUE(peer.connected());
  const Bytes valid = request(32);
  peer.send(valid);
  EXPECT_EQ(peer.receive(), withReplyMarker(valid));
  EXPECT_TRUE(server.program.running());
  EXPECT_TRUE(server.logFileMatchesOutput());
}

TEST(ServerEcho, TerminationUnderLoadKeepsEveryPrintedLineInTheFile) {
  REQUIRE_PRIVATE_NETWORK();
  Server server;
  ASSERT_TRUE(server.start());
  // A bounded burst of requests keeps the log busy while the termination request arrives.
  std::thread load([] {
    Peer peer(SOCK_DGRAM);
    const Bytes valid = request(32);
    for (int i = 0; i < 3000; ++i) platform::sendBytes(peer.fd(), valid.data(), valid.size());
  });
  ASSERT_TRUE(server.waitFor(WaitingLine, 20));
  server.program.signal(SIGTERM);
  load.join();
  EXPECT_EQ(server.program.wait(milliseconds(5000)), 0);
  EXPECT_TRUE(server.logFileMatchesOutput());
}

TEST(ServerEcho, CommandLine) {
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
