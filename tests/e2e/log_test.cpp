// The real server's log under trouble: an output that closes early or is never read, a full disk,
// a log file renamed away, a termination request in the middle of a load. Whatever happens to the
// terminal or the disk, the services keep answering, the file holds only whole lines, and no line
// is lost without a word.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/activity_log.h"
#include "common/cp1251.h"
#include "common/platform/net.h"
#include "common/platform/sockets.h"
#include "common/protocol.h"
#include "common/text_format.h"
#include "server/console.h"
#include "tests/support/echo_server.h"
#include "tests/support/private_network.h"
#include "tests/support/program.h"
#include "tests/support/small_disk.h"
#include "tests/support/two_hosts.h"

namespace connchk::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string PacketLine = "Принят пакет от 127.0.0.1 (unresolved), протокол IP-Клиент, 32 байт данных";
const std::string LostLinePrefix = "Потеряно строк протокола: ";

// Sends UDP echo requests of 32 bytes one after the other, each answered within two seconds.
class Requester {
 public:
  // How many of `count` requests were answered, stopping at the first that was not.
  int send(int count) {
    for (int i = 0; i < count; ++i) {
      if (!peer_.answers(request_)) return i;
    }
    return count;
  }

 private:
  EchoPeer peer_{SOCK_DGRAM};
  const Bytes request_ = echoRequest(32);
};

// The server in terminal mode (or its window, given the environment), up and answering.
// Every line counts in these tests: the log's flood bound is off.
::testing::AssertionResult startAnswering(Program& server, int* outputPipe = nullptr,
                                       const std::vector<std::string>& args = {"--console", "--log-rate", "0",
                                                                               "--log-keep-free", "0"}) {
  if (outputPipe) {
    *outputPipe = server.startWithOutputPipe(args);
  } else {
    server.start(args);
  }
  if (!serverServes(server) || Requester().send(1) != 1) {
    return ::testing::AssertionFailure() << "the UDP echo service did not answer:\n" << server.errors();
  }
  return ::testing::AssertionSuccess();
}

std::string fileText(const Program& server, const std::string& name = ServerLogFileName) {
  return fromWindows1251(server.logBytes(name));
}

// The file's lines; each must be whole: a line the server logs here, ending LF CR, nothing glued.
::testing::AssertionResult wholeLines(const std::string& text, std::vector<std::string>& lines) {
  if (!text.empty() && text.compare(text.size() - 2, 2, "\n\r") != 0) {
    return ::testing::AssertionFailure() << "the file ends inside a line";
  }
  lines = splitLines(text, "\n\r");
  for (const std::string& line : lines) {
    const bool known = line.rfind("Старт сервера, протокол ", 0) == 0 || line == PacketLine ||
                       line == "Отослано 32 байт данных" || line == "Ожидание нового запроса" ||
                       line.rfind(LostLinePrefix, 0) == 0;
    if (!known) return ::testing::AssertionFailure() << "torn or glued line: \"" << line << "\"";
  }
  return ::testing::AssertionSuccess();
}

// What the server printed, without the statistics lines: the log's lines.
std::vector<std::string> printedLogLines(const Program& server) {
  std::vector<std::string> printed;
  for (const std::string& line : server.outputLines()) {
    if (line.rfind(server::StatisticsMark, 0) != 0) printed.push_back(line);
  }
  return printed;
}

int countOf(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}

void endWithTermination(Program& server) {
  server.signal(SIGTERM);
  EXPECT_EQ(server.wait(10s), 0) << "ends as Exit does";
}

// stdout closed after two lines (as `server --console | head -2`), and stdout never read until
// the load is over: the services answer throughout and the file keeps every line. The reader
// that comes back is told once, on stderr, how many printed lines it missed.
TEST(ServerLog, AnOutputClosedEarlyOrNeverReadCostsNoAnswerAndNoFileLine) {
  REQUIRE_PRIVATE_NETWORK();
  // Far more than the pipe and the terminal's bound of waiting lines hold.
  constexpr int Requests = 25000;
  for (const bool closedEarly : {true, false}) {
    SCOPED_TRACE(closedEarly ? "closed after two lines" : "never read");
    Program server(SERVER_PROGRAM);
    int output = -1;
    ASSERT_TRUE(startAnswering(server, &output));
    if (closedEarly) {
      std::string head;
      char c;
      while (occurrences(head, "\n") < 2 && read(output, &c, 1) == 1) head += c;
      ::close(output);
    }
    EXPECT_EQ(Requester().send(Requests), Requests);
    std::string printed;
    std::thread reader;
    if (!closedEarly) {
      reader = std::thread([&] {
        char buffer[65536];
        for (ssize_t n; (n = read(output, buffer, sizeof buffer)) > 0;) printed.append(buffer, static_cast<std::size_t>(n));
      });
      EXPECT_EQ(Requester().send(1), 1);
      EXPECT_TRUE(eventually([&] { return server.errors().find("пропущено строк вывода: ") != std::string::npos; }))
          << server.errors();
    }
    const int answered = Requests + (closedEarly ? 1 : 2);
    EXPECT_TRUE(eventually([&] { return occurrences(fileText(server), "Ожидание нового запроса") == answered; }));
    endWithTermination(server);
    if (reader.joinable()) reader.join();
    if (output >= 0 && !closedEarly) ::close(output);

    std::vector<std::string> lines;
    ASSERT_TRUE(wholeLines(fileText(server), lines));
    EXPECT_EQ(countOf(lines, PacketLine), answered);
    EXPECT_EQ(occurrences(server.errors(), "пропущено строк вывода: "), closedEarly ? 0 : 1) << server.errors();
    if (!closedEarly) {
      EXPECT_LT(occurrences(printed, PacketLine), Requests) << "the bound held nothing back";
    }
  }
}

// The log file on a disk that fills up and frees again: the answers go on, one alert says so, the
// file holds whole lines only, and once space returns one line says how many could not be written.
TEST(ServerLog, AFullDiskCostsCountedLinesNotAnswers) {
  REQUIRE_PRIVATE_NETWORK();
  Program server(SERVER_PROGRAM);
  SmallDisk disk(server.folder() + "/disk", 256 * 1024);
  ASSERT_TRUE(disk.ready()) << disk.problem();
  fs::create_symlink(disk.folder() + "/" + ServerLogFileName, server.folder() + "/" + ServerLogFileName);
  ASSERT_TRUE(startAnswering(server));
  EXPECT_EQ(Requester().send(20), 20);

  ASSERT_TRUE(disk.fill());
  EXPECT_EQ(Requester().send(500), 500) << "the services answer while the disk is full";
  const std::string alert = std::string("server: ") + LogWriteAlertText;
  EXPECT_TRUE(eventually([&] { return server.errors().find(alert) != std::string::npos; })) << server.errors();
  EXPECT_EQ(Requester().send(100), 100);

  disk.release();
  EXPECT_EQ(Requester().send(5), 5);
  EXPECT_TRUE(eventually([&] { return fileText(server).find(LostLinePrefix) != std::string::npos; }));
  const int answered = 1 + 20 + 500 + 100 + 5;
  EXPECT_TRUE(eventually([&] { return occurrences(server.output(), "Ожидание нового запроса") == answered; }));
  endWithTermination(server);

  EXPECT_EQ(occurrences(server.errors(), alert), 1) << "one alert for the spell of failures:\n" << server.errors();
  std::vector<std::string> lines;
  ASSERT_TRUE(wholeLines(fileText(server), lines));
  const std::vector<std::string> printed = printedLogLines(server);
  // What the file holds stands in the printed lines in the same order; the rest is what it says.
  EXPECT_TRUE(inOrder(printed, lines));
  ASSERT_EQ(occurrences(fileText(server), LostLinePrefix), 1);
  const auto lost = std::find_if(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind(LostLinePrefix, 0) == 0; });
  EXPECT_EQ(std::stoul(lost->substr(LostLinePrefix.size())), printed.size() - lines.size());
  EXPECT_GT(printed.size(), lines.size());
  EXPECT_EQ(countOf(printed, PacketLine), answered);
}

// Log rotation by renaming: the server lets go of the renamed file within a second and writes
// on into a new one by the name; between the two files no line is lost or doubled.
TEST(ServerLog, ARenamedLogFileGivesWayToANewOne) {
  REQUIRE_PRIVATE_NETWORK();
  Program server(SERVER_PROGRAM);
  ASSERT_TRUE(startAnswering(server));
  EXPECT_EQ(Requester().send(3), 3);
  ASSERT_TRUE(eventually([&] { return occurrences(fileText(server), "Ожидание нового запроса") == 4; }));
  fs::rename(server.folder() + "/" + ServerLogFileName, server.folder() + "/server_log.txt.1");
  std::this_thread::sleep_for(1200ms);
  EXPECT_EQ(Requester().send(3), 3);
  // (The lines of an answer follow it: wait for the last one before the end.)
  EXPECT_TRUE(eventually([&] { return occurrences(fileText(server), "Ожидание нового запроса") == 3; }));
  endWithTermination(server);

  std::vector<std::string> before, after;
  ASSERT_TRUE(wholeLines(fileText(server, "server_log.txt.1"), before));
  ASSERT_TRUE(wholeLines(fileText(server), after));
  EXPECT_EQ(countOf(before, PacketLine), 4);
  const std::vector<std::string> answer{PacketLine, "Отослано 32 байт данных", "Ожидание нового запроса"};
  std::vector<std::string> threeAnswers;
  for (int i = 0; i < 3; ++i) threeAnswers.insert(threeAnswers.end(), answer.begin(), answer.end());
  EXPECT_EQ(after, threeAnswers);
  before.insert(before.end(), after.begin(), after.end());
  EXPECT_EQ(before, printedLogLines(server));
}

// The window's end on a termination request in the middle of a load: every answered request's
// line is in the file (the last request may be cut between its answer and its line).
TEST(ServerLog, ATerminationRequestToTheWindowKeepsEveryLineInTheFile) {
  REQUIRE_PRIVATE_NETWORK();
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  Program server(SERVER_PROGRAM);
  ASSERT_TRUE(startAnswering(server, nullptr, {"--log-rate", "0"}));
  std::atomic<int> answered{1};
  std::atomic<bool> stop{false};
  std::thread load([&] {
    Requester requester;
    while (!stop && requester.send(1) == 1) ++answered;
  });
  ASSERT_TRUE(eventually([&] { return answered >= 2000; }, 60s));
  const int answeredBefore = answered;
  server.signal(SIGTERM);
  EXPECT_EQ(server.wait(10s), 0);
  stop = true;
  load.join();
  std::vector<std::string> lines;
  ASSERT_TRUE(wholeLines(fileText(server), lines));
  EXPECT_GE(countOf(lines, PacketLine), answeredBefore - 1);
}

// Four senders keep eight requests each in flight until each has had 25,000 answered, every line
// logged: the file holds the three lines of every answer, whole and together, each sender's in
// the order it sent them (their lengths tell them apart), and the terminal printed the same lines.
TEST(ServerLog, AFloodFromManySendersKeepsEveryLineWholeAndEachSendersInOrder) {
  REQUIRE_PRIVATE_NETWORK();
  Program server(SERVER_PROGRAM);
  ASSERT_TRUE(startAnswering(server));
  constexpr int Senders = 4, PerSender = 25000, InFlight = 8;
  const auto lengthOf = [](int i) { return std::size_t(28 + i % 64); };
  struct Sender {
    platform::Socket socket;
    int sent = 0, answered = 0;
  };
  std::vector<Sender> senders(Senders);
  std::vector<pollfd> polls;
  for (int s = 0; s < Senders; ++s) {
    Sender& x = senders[static_cast<std::size_t>(s)];
    x.socket = openedSocket(platform::Family::IPv4, SOCK_DGRAM);
    ASSERT_EQ(platform::bindTo(x.socket.fd(), literal(format("127.0.0.%d", 2 + s))).code(), 0);
    ASSERT_EQ(platform::connectTo(x.socket.fd(), literal("127.0.0.1", EchoPort)).code(), 0);
    polls.push_back({x.socket.fd(), POLLIN, 0});
  }
  const auto sendNext = [&](Sender& x) {
    const Bytes request = echoRequest(lengthOf(x.sent++));
    ASSERT_EQ(platform::sendBytes(x.socket.fd(), request.data(), request.size()).value_or(0), request.size());
  };
  for (Sender& x : senders) {
    for (int i = 0; i < InFlight; ++i) sendNext(x);
  }
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  int done = 0;
  std::uint8_t answer[ReceiveBufferSize];
  while (done < Senders && std::chrono::steady_clock::now() < deadline) {
    if (poll(polls.data(), polls.size(), 1000) <= 0) continue;
    for (std::size_t s = 0; s < senders.size(); ++s) {
      if ((polls[s].revents & POLLIN) == 0) continue;
      Sender& x = senders[s];
      const auto got = platform::receive(x.socket.fd(), answer, sizeof answer);
      ASSERT_EQ(got.value_or(0), lengthOf(x.answered)) << "answers come in order";
      if (++x.answered == PerSender) ++done;
      if (x.sent < PerSender) sendNext(x);
    }
  }
  ASSERT_EQ(done, Senders) << "every request answered within the time";

  // Every answer's lines, the first request's included, once they are all in the file.
  const int answers = Senders * PerSender + 1;
  std::vector<std::string> lines;
  ASSERT_TRUE(eventually([&] {
    lines = splitLines(fileText(server), "\n\r");
    return countOf(lines, "Ожидание нового запроса") == answers;
  }, 30s)) << countOf(lines, "Ожидание нового запроса") << " of " << answers;
  std::vector<int> next(Senders, 0);
  int packets = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].rfind("Старт сервера, протокол ", 0) == 0) continue;
    ASSERT_LE(i + 2, lines.size() - 1) << "a request's lines stand together";
    const std::string prefix = "Принят пакет от 127.0.0.";
    ASSERT_EQ(lines[i].rfind(prefix, 0), 0u) << "line " << i << ": " << lines[i];
    // The first request came from 127.0.0.1 with 32 bytes; the flood's from 127.0.0.2 and on.
    const int sender = std::atoi(lines[i].c_str() + prefix.size()) - 2;
    std::size_t length = 32;
    if (sender != -1 || packets != 0) {
      ASSERT_TRUE(sender >= 0 && sender < Senders) << lines[i];
      length = lengthOf(next[static_cast<std::size_t>(sender)]++);
    }
    ASSERT_EQ(lines[i], format("Принят пакет от 127.0.0.%d (unresolved), протокол IP-Клиент, %zu байт данных", sender + 2, length))
        << "line " << i;
    ASSERT_EQ(lines[i + 1], format("Отослано %zu байт данных", length)) << "line " << i + 1;
    ASSERT_EQ(lines[i + 2], "Ожидание нового запроса") << "line " << i + 2;
    ++packets;
    i += 2;
  }
  EXPECT_EQ(packets, answers);
  EXPECT_EQ(next, std::vector<int>(Senders, PerSender));
  EXPECT_TRUE(server.logBytes(ServerLogFileName).ends_with("\n\r")) << "the file ends with a whole line";
  EXPECT_TRUE(eventually([&] { return printedLogLines(server) == lines; })) << "the terminal printed the same lines";
  endWithTermination(server);
}

}  // namespace
}  // namespace connchk::testing
