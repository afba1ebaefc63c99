// Which mode the real programs start in: the window by default, the terminal with --console, and
// the terminal, with a one-line note on stderr, where there is no display.
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "common/platform/sockets.h"
#include "common/ui/display.h"
#include "tests/support/peers.h"
#include "tests/support/private_network.h"
#include "tests/support/program.h"

namespace connchk::testing {
namespace {

using namespace std::chrono_literals;

void withoutDisplay() {
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  unsetenv("QT_QPA_PLATFORM");
}

void withOffscreenDisplay() {
  withoutDisplay();
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
}

TEST(WindowDispatch, ClientWithoutADisplaySaysSoAndRunsInTheTerminal) {
  REQUIRE_PRIVATE_NETWORK();
  withoutDisplay();
  Program client(CLIENT_PROGRAM);
  EXPECT_EQ(client.run({"--count", "1", "127.0.0.1"}), 1);
  EXPECT_EQ(client.errors(), std::string("client: ") + ui::NoDisplayNote + "\n");
  EXPECT_NE(client.output().find("Соединение с 127.0.0.1, порт 87"), std::string::npos);
}

TEST(WindowDispatch, ADisplayThatDoesNotAnswerFallsBackToTheTerminal) {
  REQUIRE_PRIVATE_NETWORK();
  withoutDisplay();
  setenv("DISPLAY", ":987", 1);  // no X server listens there
  Program client(CLIENT_PROGRAM);
  EXPECT_EQ(client.run({"--count", "1", "127.0.0.1"}), 1);
  EXPECT_EQ(client.errors(), "client: no display (DISPLAY=:987 does not answer): running in the terminal\n");
  EXPECT_NE(client.output().find("Соединение с 127.0.0.1, порт 87"), std::string::npos);
}

// A display forwarded over ssh is a TCP port (6000 + N) on this host; once the session has ended
// nothing listens there, and the window would abort the program.
TEST(WindowDispatch, AForwardedDisplayThatDoesNotAnswerFallsBackToTheTerminal) {
  REQUIRE_PRIVATE_NETWORK();
  withoutDisplay();
  setenv("DISPLAY", "localhost:10.0", 1);
  Program client(CLIENT_PROGRAM);
  EXPECT_EQ(client.run({"--count", "1", "127.0.0.1"}), 1);
  EXPECT_EQ(client.errors(), "client: no display (DISPLAY=localhost:10.0 does not answer): running in the terminal\n");
  EXPECT_NE(client.output().find("Соединение с 127.0.0.1, порт 87"), std::string::npos);

  // The same check passes while something listens on the display's port, and fails once it is gone.
  platform::Socket listener = openedSocket(platform::Family::IPv4, SOCK_STREAM);
  ASSERT_TRUE(listener.valid());
  ASSERT_EQ(platform::bindTo(listener.fd(), platform::Address::loopback(platform::Family::IPv4, 6000 + 57)).code(), 0);
  ASSERT_EQ(platform::listenOn(listener.fd(), 4).code(), 0);
  for (const char* display : {"127.0.0.1:57", "localhost:57.0", "[127.0.0.1]:57"}) {
    setenv("DISPLAY", display, 1);
    EXPECT_EQ(ui::displayProblem(), "") << display;
  }
  listener.close();
  EXPECT_EQ(ui::displayProblem(), "no display (DISPLAY=[127.0.0.1]:57 does not answer): running in the terminal");
  setenv("DISPLAY", "no-such-host.invalid:0", 1);
  EXPECT_NE(ui::displayProblem(), "");
}

TEST(WindowDispatch, ClientOpensItsWindowByDefaultAndTheTerminalWithConsole) {
  REQUIRE_PRIVATE_NETWORK();
  withOffscreenDisplay();
  Program window(CLIENT_PROGRAM);
  window.start({"--count", "1"});
  std::this_thread::sleep_for(1500ms);
  EXPECT_TRUE(window.running()) << window.errors();
  EXPECT_EQ(window.output(), "");  // the window shows its lines, the terminal gets none
  EXPECT_EQ(window.errors().find(ui::NoDisplayNote), std::string::npos);

  Program terminal(CLIENT_PROGRAM);
  EXPECT_EQ(terminal.run({"--console", "--count", "1"}), 1);
  EXPECT_NE(terminal.output().find("Соединение с 127.0.0.1, порт 87"), std::string::npos);
  EXPECT_EQ(terminal.errors().find(ui::NoDisplayNote), std::string::npos);
}

TEST(WindowDispatch, ServerWithoutADisplaySaysSoAndRunsInTheTerminal) {
  REQUIRE_PRIVATE_NETWORK();
  withoutDisplay();
  Program server(SERVER_PROGRAM);
  server.start({});
  EXPECT_TRUE(eventually([&] { return server.errors().find(std::string("server: ") + ui::NoDisplayNote + "\n") != std::string::npos; }));
  EXPECT_TRUE(server.running());

  withOffscreenDisplay();
  Program window(SERVER_PROGRAM);
  window.start({});
  std::this_thread::sleep_for(1500ms);
  EXPECT_TRUE(window.running()) << window.errors();
  EXPECT_EQ(window.errors().find(ui::NoDisplayNote), std::string::npos);
}

TEST(WindowDispatch, HelpMentionsTheWindow) {
  for (const char* program : {CLIENT_PROGRAM, SERVER_PROGRAM}) {
    Program p(program);
    EXPECT_EQ(p.run({"--help"}), 0);
    EXPECT_NE(p.output().find("window"), std::string::npos) << program;
  }
}

}  // namespace
}  // namespace connchk::testing
