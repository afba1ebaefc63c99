#include "common/activity_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "common/console_view.h"
#include "common/cp1251.h"
#include "common/text_format.h"
#include "tests/support/program.h"

namespace connchk {
namespace {

namespace fs = std::filesystem;
using connchk::testing::eventually;
using connchk::testing::readFile;
using connchk::testing::ScratchFolder;

// A view that keeps lines the way the window's list does: bounded, sparing the first line.
class ListView : public LogView {
 public:
  void appendLine(const std::string& line) override {
    lines.push_back(line);
    const int drop = lineToDropAfterInsert(static_cast<int>(lines.size()));
    if (drop >= 0) lines.erase(lines.begin() + drop);
  }
  std::vector<std::string> lines;
};

TEST(Cp1251, ConvertsCyrillicAndMarksWhatItCannotHold) {
  EXPECT_EQ(toWindows1251("Ответ"), "\xCE\xF2\xE2\xE5\xF2");
  EXPECT_EQ(toWindows1251("Ёё№"), "\xA8\xB8\xB9");
  EXPECT_EQ(toWindows1251("plain"), "plain");
  EXPECT_EQ(toWindows1251("日"), "?");
  EXPECT_EQ(toWindows1251("a\xFF" "b"), "a?b") << "invalid UTF-8 is not passed through";
  EXPECT_EQ(fromWindows1251(toWindows1251("Превышено время ожидания ответа")), "Превышено время ожидания ответа");
  // Every byte that stands for a character comes back as itself: the table and the letters' run agree.
  for (int b = 0x80; b <= 0xFF; ++b) {
    const std::string byte(1, static_cast<char>(b));
    if (fromWindows1251(byte) != "?") {
      EXPECT_EQ(toWindows1251(fromWindows1251(byte)), byte) << b;
    }
  }
}

TEST(ActivityLog, ClientLineHasTimePrefixAndEndsWithCrLfInWindows1251) {
  ScratchFolder folder;
  const std::string path = folder.path + "/client_log.txt";
  ActivityLog log = ActivityLog::atPath(LogStyle::Client, path);
  ListView view;
  log.setView(&view);
  log.log("Отослан запрос к серверу");
  ASSERT_TRUE(log.flush());
  ASSERT_EQ(view.lines.size(), 1u);
  EXPECT_TRUE(std::regex_match(view.lines[0], std::regex(R"(\[\d\d:\d\d:\d\d\] Отослан запрос к серверу)")))
      << view.lines[0];
  const std::string bytes = readFile(path);
  EXPECT_EQ(bytes, "[" + view.lines[0].substr(1, 8) + "] " + toWindows1251("Отослан запрос к серверу") + "\r\n");
}

TEST(ActivityLog, ServerLineIsTheMessageAloneEndingWithLfThenCr) {
  ScratchFolder folder;
  const std::string path = folder.path + "/server_log.txt";
  ActivityLog log = ActivityLog::atPath(LogStyle::Server, path);
  ListView view;
  log.setView(&view);
  log.log("Ожидание нового запроса");
  ASSERT_TRUE(log.flush());
  EXPECT_EQ(view.lines, std::vector<std::string>{"Ожидание нового запроса"});
  EXPECT_EQ(readFile(path), toWindows1251("Ожидание нового запроса") + "\n\r");
}

TEST(ActivityLog, AppendsToAnExistingFile) {
  ScratchFolder folder;
  const std::string path = folder.path + "/server_log.txt";
  { std::FILE* f = std::fopen(path.c_str(), "wb"); std::fputs("earlier\n\r", f); std::fclose(f); }
  ActivityLog log = ActivityLog::atPath(LogStyle::Server, path);
  log.log("one");
  log.log("two");
  ASSERT_TRUE(log.flush());
  EXPECT_EQ(readFile(path), "earlier\n\rone\n\rtwo\n\r");
}

TEST(ActivityLog, ViewKeepsTheFirstLineAndTheNinetyNineNewest) {
  ScratchFolder folder;
  ActivityLog log = ActivityLog::atPath(LogStyle::Server, folder.path + "/server_log.txt");
  ListView view;
  log.setView(&view);
  for (int i = 1; i <= 101; ++i) log.log("line " + std::to_string(i));
  ASSERT_TRUE(log.flush());
  ASSERT_EQ(view.lines.size(), 100u);
  EXPECT_EQ(view.lines.front(), "line 1");
  EXPECT_EQ(view.lines[1], "line 3") << "the former second line is gone";
  EXPECT_EQ(view.lines.back(), "line 101");
  EXPECT_EQ(testing::occurrences(readFile(folder.path + "/server_log.txt"), "\n\r"), 101)
      << "the file keeps every line";
}

// Runs `body` in a child process as an unprivileged user (root writes into read-only folders) and
// returns its exit status.
template <typename Body>
int asUnprivilegedUser(Body body) {
  const pid_t child = fork();
  if (child == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(100);
    _exit(body());
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 101;
}

TEST(ActivityLog, ReadOnlyFolderAlertsOnceCountsTheLostLinesAndTheViewStillFills) {
  ScratchFolder folder;
  ASSERT_EQ(chmod(folder.path.c_str(), 0555), 0);
  const std::string path = folder.path + "/client_log.txt";
  const int status = asUnprivilegedUser([&] {
    ActivityLog log = ActivityLog::atPath(LogStyle::Client, path);
    ListView view;
    std::atomic<int> alerts{0};
    log.setView(&view);
    log.setAlert([&](const std::string& message) { alerts += message == LogFileAlertText; });
    log.log("first");
    log.flush();
    log.log("second");
    log.flush();
    if (alerts != 1) return 1;
    if (view.lines.size() != 2) return 2;
    if (log.linesLost() != 2) return 3;
    return 0;
  });
  EXPECT_EQ(status, 0) << "1: not one alert for the spell of failures; 2: the view did not fill; 3: lines not counted";
  EXPECT_FALSE(fs::exists(path));
}

TEST(ActivityLog, LinesOfManyThreadsStayWholeAndInOneOrder) {
  ScratchFolder folder;
  const std::string path = folder.path + "/server_log.txt";
  ActivityLog log = ActivityLog::atPath(LogStyle::Server, path);
  ListView view;
  log.setView(&view);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&log, t] {
      for (int i = 0; i < 50; ++i) log.log("thread " + std::to_string(t) + " line " + std::to_string(i));
    });
  }
  for (auto& t : threads) t.join();
  ASSERT_TRUE(log.flush());
  const auto fileLines = testing::splitLines(readFile(path), "\n\r");
  ASSERT_EQ(fileLines.size(), 200u);
  // The view drops lines past 100; what it kept stands in the file in the same order.
  std::size_t at = 0;
  for (const auto& line : view.lines) {
    while (at < fileLines.size() && fileLines[at] != line) ++at;
    ASSERT_LT(at, fileLines.size()) << "view line missing or out of order: " << line;
  }
  for (const auto& line : fileLines) EXPECT_TRUE(std::regex_match(line, std::regex(R"(thread \d line \d+)"))) << line;
}

// A view that holds the logging thread inside appendLine until released.
class GateView : public LogView {
 public:
  void appendLine(const std::string&) override {
    entered = true;
    while (!released) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::atomic<bool> entered{false};
  std::atomic<bool> released{false};
};

TEST(ActivityLog, CloseForExitWaitsForTheLineBeingWrittenToReachTheFile) {
  ScratchFolder folder;
  const std::string path = folder.path + "/server_log.txt";
  // The log stays closed for good, as it does in a process that ends: kept reachable, never destroyed.
  static ActivityLog* closed = nullptr;
  closed = new ActivityLog(ActivityLog::atPath(LogStyle::Server, path));
  GateView view;
  closed->setView(&view);
  std::thread writer([] { closed->log("last words"); });
  while (!view.entered) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::thread release([&view] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    view.released = true;
  });
  closed->closeForExit();
  EXPECT_EQ(readFile(path), "last words\n\r") << "the shown line is in the file before the process may end";
  closed->log("too late");
  closed->flush();
  EXPECT_EQ(readFile(path), "last words\n\r") << "nothing more once closed";
  writer.join();
  release.join();
}

// Log rotation: a file renamed or removed is let go within a second, reopen() lets go at once;
// every line stands whole in exactly one of the files, in order.
TEST(ActivityLog, ARenamedOrRemovedFileGivesWayToANewOne) {
  ScratchFolder folder;
  const std::string path = folder.path + "/server_log.txt";
  ActivityLog log = ActivityLog::atPath(LogStyle::Server, path);
  const auto logAndFlush = [&log](const std::string& line) {
    log.log(line);
    ASSERT_TRUE(log.flush());
  };
  logAndFlush("one");
  fs::rename(path, path + ".1");
  log.reopen();
  logAndFlush("two");
  EXPECT_EQ(readFile(path + ".1"), "one\n\r");
  EXPECT_EQ(readFile(path), "two\n\r") << "reopen() starts a new file";

  fs::rename(path, path + ".2");
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  logAndFlush("three");
  fs::remove(path + ".1");
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  logAndFlush("four");
  EXPECT_EQ(readFile(path + ".2"), "two\n\r");
  EXPECT_EQ(readFile(path), "three\n\rfour\n\r") << "a renamed file is found out at the next line";
  fs::remove(path);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  logAndFlush("five");
  EXPECT_EQ(readFile(path), "five\n\r") << "a removed file too";
  EXPECT_EQ(log.linesLost(), 0u);
}

// The terminal: a reader that is slow or gone costs printed lines, never the caller's time.
// Fills the pipe behind `fd` with "-\n" lines until it takes no more; returns the bytes written.
std::size_t fillPipe(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  std::string chunk;
  for (int i = 0; i < 2048; ++i) chunk += "-\n";
  std::size_t filled = 0;
  // Writes of at most PIPE_BUF bytes go whole or not at all: the pipe ends on a whole "-\n".
  for (std::size_t size : {chunk.size(), std::size_t{2}}) {
    for (ssize_t n; (n = write(fd, chunk.data(), size)) > 0;) filled += static_cast<std::size_t>(n);
  }
  fcntl(fd, F_SETFL, flags);
  return filled;
}

TEST(ConsoleView, ASlowOrGoneReaderCostsPrintedLinesOnly) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  std::FILE* out = fdopen(ends[1], "w");
  ASSERT_NE(out, nullptr);
  // The reader is away and the pipe is full: the printer can take at most one batch of lines and
  // sits on it. So at most two bounds' worth of lines are kept, whenever the printer runs.
  const std::size_t prefilled = fillPipe(ends[1]);
  constexpr std::size_t Limit = 64 * 1024;
  {
    ConsoleView view(out, {}, Limit);
    const std::string filler(90, 'x');
    const std::size_t lineBytes = 6 + filler.size() + 1;  // "NNNNN " + filler + newline
    const std::size_t lines = 3 * Limit / lineBytes;
    std::atomic<bool> returned{false};
    std::thread caller([&] {
      for (std::size_t i = 0; i < lines; ++i) view.appendLine(format("%05zu ", i) + filler);
      returned = true;
    });
    ASSERT_TRUE(eventually([&] { return returned.load(); }, std::chrono::milliseconds(20000), std::chrono::milliseconds(1)))
        << "appendLine waits for the reader";
    caller.join();
    const std::uint64_t dropped = view.linesDropped();
    EXPECT_GE(dropped, lines - 2 * Limit / lineBytes) << "more kept than the bound allows";
    EXPECT_LE(dropped, lines - Limit / lineBytes + 1) << "dropped before the bound was reached";

    // The reader comes back: what was kept arrives whole and in order, then the new lines.
    std::string got;
    std::thread reader([&] {
      char buffer[65536];
      while (got.size() < 6 || got.compare(got.size() - 6, 6, "again\n") != 0) {
        const ssize_t n = read(ends[0], buffer, sizeof buffer);
        if (n <= 0) break;
        got.append(buffer, static_cast<std::size_t>(n));
      }
      ::close(ends[0]);  // and then the reader goes
    });
    view.finish(std::chrono::seconds(10));  // caught up: the next line is printed
    view.appendLine("again");
    view.finish(std::chrono::seconds(10));
    reader.join();
    EXPECT_EQ(view.linesDropped(), dropped);
    ASSERT_GE(got.size(), prefilled);
    EXPECT_EQ(got.find_first_not_of("-\n"), prefilled) << "the pipe's earlier lines come first";
    const auto printed = testing::splitLines(got.substr(prefilled));
    ASSERT_EQ(printed.size(), lines - dropped + 1);
    EXPECT_EQ(printed.back(), "again");
    long previous = -1;
    for (std::size_t i = 0; i + 1 < printed.size(); ++i) {
      const long number = std::stol(printed[i]);
      ASSERT_GT(number, previous) << printed[i];
      ASSERT_EQ(printed[i], format("%05ld ", number) + filler);
      previous = number;
    }
    // The reader has gone: printing stops, the lines are counted, nobody waits or gets SIGPIPE.
    view.appendLine("into a closed pipe");
    view.finish(std::chrono::seconds(10));
    view.appendLine("after");
    EXPECT_EQ(view.linesDropped(), dropped + 2);
  }
  std::fclose(out);
}

TEST(ActivityLog, FileNamedBesideTheExecutable) {
  ActivityLog log(LogStyle::Client, ClientLogFileName);
  const std::string path = log.filePath();
  EXPECT_EQ(fs::path(path).filename(), "client_log.txt");
  EXPECT_EQ(fs::path(path).parent_path(), fs::canonical("/proc/self/exe").parent_path());
}

}  // namespace
}  // namespace connchk
