#include "tests/support/echo_server.h"

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "common/activity_log.h"
#include "common/cp1251.h"
#include "common/platform/sockets.h"
#include "server/console.h"
#include "tests/support/two_hosts.h"

namespace connchk::testing {

Bytes echoRequest(std::size_t length, std::optional<std::size_t> markerAt) {
  Bytes b(length);
  for (std::size_t i = 0; i < length; ++i) b[i] = static_cast<std::uint8_t>(0x10 + i % 0x60);
  if (markerAt && *markerAt + MarkerSize <= length) putMarker(b.data(), *markerAt, RequestMarker);
  return b;
}

::testing::AssertionResult startServer(Program& server, const std::vector<std::string>& args,
                                       const std::vector<std::string>& launcher) {
  server.startThrough(launcher, args);
  return serverServes(server);
}

::testing::AssertionResult serverServes(Program& server) {
  const std::string started = toWindows1251("Старт сервера, протокол"), refused = toWindows1251("при открытии сокета");
  const auto serving = [&] {
    const std::string file = server.logBytes(ServerLogFileName);
    return occurrences(file, started) + occurrences(file, refused) >= 15 && portBound("udp", EchoPort) &&
           portBound("tcp", EchoPort, "0A") && portBound("udp", TerminalPort);
  };
  if (eventually([&] { return !server.running() || serving(); }, milliseconds(15000)) && server.running()) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "the server does not serve:\n" << server.output() << server.errors();
}

::testing::AssertionResult EchoServer::logFileMatchesOutput() {
  std::string expected, actual;
  const auto same = [&] {
    expected.clear();
    for (const auto& line : lines()) {
      if (line.rfind(server::StatisticsMark, 0) != 0) expected += toWindows1251(line) + "\n\r";
    }
    actual = program.logBytes(ServerLogFileName);
    // A server always has its start lines to show: empty on both sides is too early to tell.
    return !expected.empty() && actual == expected;
  };
  if (eventually(same)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "server_log.txt:\n" << fromWindows1251(actual) << "\nprinted:\n"
                                       << program.output();
}

EchoPeer::EchoPeer(int type, const char* address) {
  const platform::Address server = literal(address, EchoPort);
  socket_ = openedSocket(server.family(), type);
  EXPECT_EQ(platform::setReceiveTimeout(socket_.fd(), 2000).code(), 0);
  connected_ = platform::connectTo(socket_.fd(), server).ok();
}

std::optional<Bytes> EchoPeer::receive() {
  Bytes b(65536);
  const auto got = platform::receive(socket_.fd(), b.data(), b.size());
  if (got.value_or(0) == 0) return std::nullopt;
  b.resize(*got);
  return b;
}

::testing::AssertionResult EchoPeer::answers(const Bytes& request, std::size_t markerAt) {
  if (platform::sendBytes(socket_.fd(), request.data(), request.size()).value_or(0) != request.size()) {
    return ::testing::AssertionFailure() << "the request was not sent";
  }
  const std::optional<Bytes> answer = receive();
  if (answer == withReplyMarker(request, markerAt)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "answer " << ::testing::PrintToString(answer) << " to "
                                       << ::testing::PrintToString(request);
}

}  // namespace connchk::testing
