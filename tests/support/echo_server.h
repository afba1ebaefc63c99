// The real server in terminal mode, waited for until its echo services serve, and what a test
// sends to port 87 with sockets of its own.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/platform/net.h"
#include "common/protocol.h"
#include "tests/support/peers.h"
#include "tests/support/program.h"

namespace connchk::testing {

// A layout A request: a recognisable timestamp, the request marker at `markerAt`, numbered filler.
Bytes echoRequest(std::size_t length, std::optional<std::size_t> markerAt = layout_a::Marker);

// Starts the server (through `launcher`, if any) and waits until it serves: each of its fifteen
// services has started or said why it cannot, and UDP and TCP port 87 and UDP port 855 are bound.
// Reads the log file, which every mode writes.
::testing::AssertionResult startServer(Program& server, const std::vector<std::string>& args = {"--console"},
                                       const std::vector<std::string>& launcher = {});
// The same wait for a server already started (with its stdout on a pipe, say).
::testing::AssertionResult serverServes(Program& server);

class EchoServer {
 public:
  EchoServer() : program(SERVER_PROGRAM) {}

  // Starts it (through `launcher`, if any) and waits until it serves, as startServer does.
  ::testing::AssertionResult start(const std::vector<std::string>& launcher = {},
                                   const std::vector<std::string>& args = {"--console"}) {
    return startServer(program, args, launcher);
  }

  std::vector<std::string> lines() const { return program.outputLines(); }
  bool waitFor(const std::string& line, int times = 1, milliseconds limit = milliseconds(10000)) {
    return program.waitForCount(line + "\n", times, limit);
  }

  // Every printed line but the statistics ones stands in the log file, in the same order, as
  // Windows-1251 text ending LF CR. The file line is written just after the printed one. Waits
  // for the first lines, so that a match also says the file is open.
  ::testing::AssertionResult logFileMatchesOutput();

  Program program;
};

// A socket of the test's own, connected to port 87 (of loopback unless told), that gives up on
// an answer after two seconds.
class EchoPeer {
 public:
  explicit EchoPeer(int type, const char* address = "127.0.0.1");
  bool connected() const { return connected_; }
  void send(const Bytes& b) { ASSERT_EQ(platform::sendBytes(socket_.fd(), b.data(), b.size()).value_or(0), b.size()); }
  std::optional<Bytes> receive();
  // Sends `request` and takes its answer, which must be the request with the reply marker at
  // `markerAt`.
  ::testing::AssertionResult answers(const Bytes& request, std::size_t markerAt = layout_a::Marker);
  void close() { socket_.close(); }
  int fd() const { return socket_.fd(); }

 private:
  platform::Socket socket_;
  bool connected_ = false;
};

}  // namespace connchk::testing
