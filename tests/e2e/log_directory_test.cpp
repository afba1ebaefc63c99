// --log-dir of both real programs: the log goes where it says, and a folder that cannot take it
// is refused at start with a clear error; the folder beside the executable is kept as the default.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/activity_log.h"
#include "common/cp1251.h"
#include "tests/support/http_get.h"
#include "tests/support/private_network.h"
#include "tests/support/program.h"

namespace connchk::testing {
namespace {

namespace fs = std::filesystem;

// Runs a program as the unprivileged user nobody (root may write anywhere).
const std::vector<std::string> AsNobody = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};

// The programs' own folders must be reachable by nobody too.
void openToAll(const Program& program) { chmod(program.folder().c_str(), 0755); }

TEST(LogDirectory, EachProgramWritesItsLogInTheFolderGiven) {
  REQUIRE_PRIVATE_NETWORK();
  ScratchFolder serverLogs, clientLogs;
  Program server(SERVER_PROGRAM), client(CLIENT_PROGRAM);
  server.start({"--console", "--log-dir", serverLogs.path});
  ASSERT_TRUE(server.waitForOutput("Старт сервера, протокол TCP\n")) << server.output() << server.errors();
  // The "--log-dir=DIR" form too; one UDP round against the server.
  ASSERT_EQ(client.run({"--console", "--log-dir=" + clientLogs.path, "127.0.0.1"}), 0) << client.output();

  // The server's writer thread puts the request's line in the file a moment after the answer left.
  std::string served;
  EXPECT_TRUE(eventually([&] {
    served = readFile(serverLogs.file(ServerLogFileName));
    return served.find(toWindows1251("Принят пакет от 127.0.0.1 (unresolved), протокол IP-Клиент")) != std::string::npos;
  })) << served;
  EXPECT_NE(served.find(toWindows1251("Старт сервера, протокол TCP") + "\n\r"), std::string::npos) << served;
  const std::string checked = readFile(clientLogs.file(ClientLogFileName));
  EXPECT_NE(checked.find(toWindows1251("] Получен ответ от сервера") + "\r\n"), std::string::npos) << checked;
  EXPECT_FALSE(fs::exists(server.folder() + "/" + ServerLogFileName)) << "nothing beside the executable";
  EXPECT_FALSE(fs::exists(client.folder() + "/" + ClientLogFileName));
  EXPECT_EQ(server.errors(), "");
}

TEST(LogDirectory, AFolderThatCannotTakeTheLogIsRefusedAtStart) {
  ScratchFolder root;                 // root's, others may only read it
  ScratchFolder everyone(0777);       // anyone may write, but a log file there is root's
  std::ofstream(everyone.file(ClientLogFileName)) << "";
  chmod(everyone.file(ClientLogFileName).c_str(), 0644);
  std::ofstream(root.file("plain")) << "";

  struct Case {
    const char* program;
    std::vector<std::string> args;
    bool asNobody;
    std::string error;  // the whole line on stderr
  };
  const std::vector<Case> cases = {
      {SERVER_PROGRAM, {"--log-dir", root.file("missing")}, false,
       "server: --log-dir " + root.file("missing") + ": no such folder\n"},
      {CLIENT_PROGRAM, {"--log-dir", root.file("plain")}, false,
       "client: --log-dir " + root.file("plain") + ": not a folder\n"},
      {SERVER_PROGRAM, {"--log-dir", root.path}, true,
       "server: --log-dir " + root.path + ": cannot write there (Permission denied)\n"},
      {CLIENT_PROGRAM, {"--log-dir=" + everyone.path}, true,
       "client: --log-dir " + everyone.path + ": cannot write client_log.txt there (Permission denied)\n"},
      {SERVER_PROGRAM, {"--log-dir"}, false, "server: --log-dir needs a folder\n"},
      {CLIENT_PROGRAM, {"--log-dir="}, false, "client: --log-dir needs a value\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.program) + " " + c.args[0]);
    Program program(c.program);
    openToAll(program);
    std::vector<std::string> args = {"--console"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    program.startThrough(c.asNobody ? AsNobody : std::vector<std::string>{}, args);
    EXPECT_EQ(program.wait(), 2);
    EXPECT_EQ(program.errors(), c.error);
    EXPECT_EQ(program.output(), "") << "nothing ran";
  }
  EXPECT_EQ(readFile(everyone.file(ClientLogFileName)), "");
  EXPECT_EQ(fs::directory_iterator(root.path)->path().filename(), "plain") << "nothing was created";
}

#ifdef CHECKER_WITH_GUI
// The window takes --log-dir too: the server's window (offscreen) starts its services and logs there.
TEST(LogDirectory, TheWindowLogsInTheFolderGiven) {
  REQUIRE_PRIVATE_NETWORK();
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  ScratchFolder logs;
  Program server(SERVER_PROGRAM);
  server.start({"--log-dir", logs.path});
  const std::string started = toWindows1251("Старт сервера, протокол TCP") + "\n\r";
  EXPECT_TRUE(eventually([&] { return readFile(logs.file(ServerLogFileName)).find(started) != std::string::npos; }))
      << server.errors();
  EXPECT_EQ(server.output(), "") << "the window, not the terminal";
  EXPECT_TRUE(server.running());
}
#endif

// Beside the executable, as the log has always been kept, even where that cannot be written: the
// program says so at once and goes on.
TEST(LogDirectory, AnUnwritableFolderBesideTheExecutableIsNamedAtStart) {
  REQUIRE_PRIVATE_NETWORK();
  // Low ports for everyone in this test's namespace, so that the unprivileged server has services.
  ASSERT_EQ(std::system("sysctl -qw net.ipv4.ip_unprivileged_port_start=0"), 0);
  Program server(SERVER_PROGRAM);
  openToAll(server);
  server.startThrough(AsNobody, {"--console"});
  ASSERT_TRUE(server.waitForOutput("Старт сервера, протокол TCP\n")) << server.errors();
  const std::string warning = "server: log folder " + server.folder() +
                              "/ (beside the executable): cannot write there (Permission denied); "
                              "pass --log-dir DIR to keep the log\n";
  EXPECT_EQ(server.errors().substr(0, warning.size()), warning);
  EXPECT_TRUE(server.running());
}

// The probe exporter runs unattended: it keeps its log where --log-dir says, and a log it cannot
// keep stops it at start instead of losing every line unseen.
TEST(LogDirectory, TheExporterLogsInTheFolderGivenOrDoesNotStart) {
  REQUIRE_PRIVATE_NETWORK();
  ScratchFolder logs;
  Program exporter(CLIENT_PROGRAM);
  exporter.start({"--exporter", "127.0.0.1:9188", "--log-dir", logs.path});
  ASSERT_TRUE(eventually([] { return httpGet("http://127.0.0.1:9188/metrics").status == 200; })) << exporter.errors();
  // No server here: the probe's one round goes unanswered, and its lines go to the folder given.
  EXPECT_EQ(httpGet("http://127.0.0.1:9188/probe?target=127.0.0.1&protocol=udp&count=1",
                    {"X-Prometheus-Scrape-Timeout-Seconds: 1"}).status, 200);
  const std::string connected = toWindows1251("] Соединение с 127.0.0.1, порт 87");
  EXPECT_TRUE(eventually([&] { return readFile(logs.file(ClientLogFileName)).find(connected) != std::string::npos; }))
      << readFile(logs.file(ClientLogFileName));
  EXPECT_FALSE(fs::exists(exporter.folder() + "/" + ClientLogFileName)) << "nothing beside the executable";

  Program unattended(CLIENT_PROGRAM);
  openToAll(unattended);
  unattended.startThrough(AsNobody, {"--exporter", "127.0.0.1:9189"});
  EXPECT_EQ(unattended.wait(), 2);
  EXPECT_EQ(unattended.errors(), "client: log folder " + unattended.folder() +
                                     "/ (beside the executable): cannot write there (Permission denied); "
                                     "pass --log-dir DIR to keep the log\n");
  EXPECT_NE(httpGet("http://127.0.0.1:9189/metrics").status, 200) << "it never listened";
}

}  // namespace
}  // namespace connchk::testing
