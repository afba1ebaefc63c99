// Runs one of the real programs from a temporary folder of its own, so that it writes its own log
// file there, and collects what it prints.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace connchk::testing {

using std::chrono::milliseconds;

class Program {
 public:
  // Copies the executable into a fresh temporary folder, where it runs; a program of the system
  // (`copy` false) runs from where it is, in such a folder.
  explicit Program(const std::string& executable, bool copy = true);
  // Ends the program if it still runs (SIGKILL) and removes the folder.
  ~Program();
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  void start(const std::vector<std::string>& args);
  // Starts the program through a launcher command that execs it (for instance setpriv with the
  // rights to drop): `launcher`, then the program's path, then `args`.
  void startThrough(const std::vector<std::string>& launcher, const std::vector<std::string>& args);
  // Starts the program with its stdout on a pipe instead of the file, and returns the pipe's read
  // end: the caller reads it, or never does, or closes it early, and closes it in the end.
  int startWithOutputPipe(const std::vector<std::string>& args);
  // Waits for the exit and returns its status; kills the program and returns -1 past the limit.
  int wait(milliseconds limit = milliseconds(20000));
  // Runs to the end: start() then wait().
  int run(const std::vector<std::string>& args, milliseconds limit = milliseconds(20000));
  void signal(int sig);
  bool running();

  // Polls stdout until it holds `text`; false past the limit.
  bool waitForOutput(const std::string& text, milliseconds limit = milliseconds(10000));
  // Polls stdout until `text` stands in it `times` times.
  bool waitForCount(const std::string& text, int times, milliseconds limit = milliseconds(10000));

  std::string output() const;      // stdout so far
  std::string errors() const;      // stderr so far
  std::vector<std::string> outputLines() const;
  std::string folder() const { return folder_; }
  pid_t pid() const { return pid_; }  // -1 once it has ended
  std::string logBytes(const std::string& fileName) const;  // the raw bytes of its log file

 private:
  // Collects the exit status if the program has ended.
  bool reaped();
  // Starts the program with stdout on `outputFd`, or on the file when it is -1.
  void launch(const std::vector<std::string>& launcher, const std::vector<std::string>& args, int outputFd);

  std::string folder_;
  std::string executable_;
  pid_t pid_ = -1;
  int status_ = -1;
};

// A folder of the test's own under /tmp, removed at the end; `mode` decides who may write it.
struct ScratchFolder {
  explicit ScratchFolder(mode_t mode = 0755);
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  std::string file(const std::string& name) const { return path + "/" + name; }
  std::string path;
};

// `args` followed by `more`.
std::vector<std::string> with(std::vector<std::string> args, const std::vector<std::string>& more);
// Splits text into lines, dropping the line ends.
std::vector<std::string> splitLines(const std::string& text, const std::string& end = "\n");
// A client line without its "[HH:mm:ss] " prefix; the line unchanged if it has none.
std::string withoutTimePrefix(const std::string& line);
std::vector<std::string> withoutTimePrefixes(const std::vector<std::string>& lines);
// A client's lines without the summary and the server's account that end each run (for tests of
// the rounds' lines).
std::vector<std::string> withoutSummaryLines(const std::vector<std::string>& lines);
// A client's lines without their time prefixes and the summary lines (which have tests of their
// own): the lines of its rounds.
std::vector<std::string> roundLines(const Program& client);
// True when `lines` are `head`, then per line of `sentLines` that request line, the answer line
// and a round trip of protocol `label` below five seconds; every line is matched as a pattern.
::testing::AssertionResult answered(const std::vector<std::string>& lines, const std::vector<std::string>& head,
                                    const std::vector<std::string>& sentLines, const std::string& label);
// The same for the three lines of one answered round, from `at`, with other lines around them.
::testing::AssertionResult answeredRound(const std::vector<std::string>& lines, std::size_t at, const std::string& sent,
                                         const std::string& label);
// The round trips of the client's "... Время приема-передачи: m:ss.mmm" lines, in milliseconds.
std::vector<int> roundTripsMs(const std::vector<std::string>& lines);
// True when `wanted` stand in `lines` in this order (other lines, of other services say, may
// come between them).
::testing::AssertionResult inOrder(const std::vector<std::string>& lines, const std::vector<std::string>& wanted);
// Polls `done` every `step` until it holds; false when `limit` passes first.
bool eventually(const std::function<bool()>& done, milliseconds limit = milliseconds(10000),
                milliseconds step = milliseconds(10));
// How many times `needle` stands in `text`.
int occurrences(const std::string& text, const std::string& needle);
std::string readFile(const std::string& path);

}  // namespace connchk::testing
