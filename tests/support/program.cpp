#include "tests/support/program.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace connchk::testing {

namespace fs = std::filesystem;

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

ScratchFolder::ScratchFolder(mode_t mode) {
  char pattern[] = "/tmp/checker-test-XXXXXX";
  const char* made = mkdtemp(pattern);
  if (!made) throw std::runtime_error("mkdtemp failed");
  path = made;
  chmod(path.c_str(), mode);
}

ScratchFolder::~ScratchFolder() {
  chmod(path.c_str(), 0755);  // a test may have taken the right to write it
  std::error_code ignored;
  fs::remove_all(path, ignored);
}

Program::Program(const std::string& executable, bool copy) {
  char pattern[] = "/tmp/checker-test-XXXXXX";
  const char* made = mkdtemp(pattern);
  if (!made) throw std::runtime_error("mkdtemp failed");
  folder_ = made;
  // Others may run the copy (a test may start it as a user without rights) but not list or write.
  fs::permissions(folder_, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  executable_ = copy ? folder_ + "/" + fs::path(executable).filename().string() : executable;
  if (!copy) return;
  fs::copy_file(executable, executable_);
  fs::permissions(executable_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                   fs::perms::others_read | fs::perms::others_exec);
}

Program::~Program() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  std::error_code ignored;
  fs::remove_all(folder_, ignored);
}

void Program::start(const std::vector<std::string>& args) { startThrough({}, args); }

void Program::startThrough(const std::vector<std::string>& launcher, const std::vector<std::string>& args) {
  launch(launcher, args, -1);
}

int Program::startWithOutputPipe(const std::vector<std::string>& args) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  launch({}, args, ends[1]);
  ::close(ends[1]);
  return ends[0];
}

void Program::launch(const std::vector<std::string>& launcher, const std::vector<std::string>& args, int outputFd) {
  const std::string out = folder_ + "/stdout.txt";
  const std::string err = folder_ + "/stderr.txt";
  std::vector<std::string> copies(launcher);
  copies.push_back(executable_);
  copies.insert(copies.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    const int outFd = outputFd >= 0 ? outputFd : open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int inFd = open("/dev/null", O_RDONLY);
    if (outFd < 0 || errFd < 0 || inFd < 0) _exit(127);
    dup2(outFd, 1);
    dup2(errFd, 2);
    dup2(inFd, 0);
    if (chdir(folder_.c_str()) != 0) _exit(127);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  if (pid_ < 0) throw std::runtime_error("fork failed");
}

bool Program::reaped() {
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) != pid_) return false;
  pid_ = -1;
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return true;
}

int Program::wait(milliseconds limit) {
  if (pid_ <= 0 || eventually([this] { return reaped(); }, limit)) return status_;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
  status_ = -1;
  return -1;
}

int Program::run(const std::vector<std::string>& args, milliseconds limit) {
  start(args);
  return wait(limit);
}

void Program::signal(int sig) {
  if (pid_ > 0) kill(pid_, sig);
}

bool Program::running() { return pid_ > 0 && !reaped(); }

bool Program::waitForCount(const std::string& text, int times, milliseconds limit) {
  return eventually([&] { return occurrences(output(), text) >= times; }, limit);
}

bool Program::waitForOutput(const std::string& text, milliseconds limit) { return waitForCount(text, 1, limit); }

std::string Program::output() const { return readFile(folder_ + "/stdout.txt"); }
std::string Program::errors() const { return readFile(folder_ + "/stderr.txt"); }
std::vector<std::string> Program::outputLines() const { return splitLines(output()); }
std::string Program::logBytes(const std::string& fileName) const { return readFile(folder_ + "/" + fileName); }

std::vector<std::string> with(std::vector<std::string> args, const std::vector<std::string>& more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

std::vector<std::string> splitLines(const std::string& text, const std::string& end) {
  std::vector<std::string> lines;
  std::size_t from = 0;
  while (from < text.size()) {
    const std::size_t at = text.find(end, from);
    if (at == std::string::npos) {
      lines.push_back(text.substr(from));
      break;
    }
    lines.push_back(text.substr(from, at - from));
    from = at + end.size();
  }
  return lines;
}

std::string withoutTimePrefix(const std::string& line) {
  // "[HH:mm:ss] " is 11 bytes.
  if (line.size() >= 11 && line[0] == '[' && line[3] == ':' && line[6] == ':' && line[9] == ']' && line[10] == ' ') {
    return line.substr(11);
  }
  return line;
}

std::vector<std::string> withoutTimePrefixes(const std::vector<std::string>& lines) {
  std::vector<std::string> out;
  for (const auto& l : lines) out.push_back(withoutTimePrefix(l));
  return out;
}

std::vector<std::string> withoutSummaryLines(const std::vector<std::string>& lines) {
  std::vector<std::string> kept;
  for (const std::string& line : lines) {
    const std::string text = withoutTimePrefix(line);
    const bool summary = text.rfind("Итого: отослано ", 0) == 0 ||
                         text.rfind("Время приема-передачи мин/сред/макс/откл: ", 0) == 0 ||
                         text.rfind("Процентили p50/p95/p99: ", 0) == 0 ||
                         text.rfind("Повторных передач TCP: ", 0) == 0 || text.rfind("Отчет сервера: ", 0) == 0;
    if (!summary) {
      kept.push_back(line);
    }
  }
  return kept;
}

::testing::AssertionResult inOrder(const std::vector<std::string>& lines, const std::vector<std::string>& wanted) {
  std::size_t next = 0;
  for (const auto& line : lines) {
    if (next < wanted.size() && line == wanted[next]) ++next;
  }
  if (next == wanted.size()) return ::testing::AssertionSuccess();
  std::string all;
  for (const auto& line : lines) all += "  " + line + "\n";
  return ::testing::AssertionFailure() << "missing \"" << wanted[next] << "\" (in order) in:\n" << all;
}

std::vector<std::string> roundLines(const Program& client) {
  return withoutSummaryLines(withoutTimePrefixes(client.outputLines()));
}

namespace {
// Whether `lines` from `at` match `patterns` one by one (and, with `whole`, end there).
::testing::AssertionResult linesMatch(const std::vector<std::string>& lines, std::size_t at,
                                      const std::vector<std::string>& patterns, bool whole) {
  if (whole ? lines.size() != at + patterns.size() : lines.size() < at + patterns.size()) {
    return ::testing::AssertionFailure() << ::testing::PrintToString(lines);
  }
  for (std::size_t i = 0; i < patterns.size(); ++i) {
    if (!std::regex_match(lines[at + i], std::regex(patterns[i]))) {
      return ::testing::AssertionFailure() << "'" << lines[at + i] << "' is not '" << patterns[i] << "'";
    }
  }
  return ::testing::AssertionSuccess();
}

std::vector<std::string> roundPatterns(const std::string& sent, const std::string& label) {
  return {sent, "Получен ответ от сервера", "Протокол " + label + R"(\. Время приема-передачи: 0:0[0-4]\.\d\d\d)"};
}
}  // namespace

::testing::AssertionResult answered(const std::vector<std::string>& lines, const std::vector<std::string>& head,
                                    const std::vector<std::string>& sentLines, const std::string& label) {
  std::vector<std::string> patterns = head;
  for (const auto& sent : sentLines) {
    const auto round = roundPatterns(sent, label);
    patterns.insert(patterns.end(), round.begin(), round.end());
  }
  return linesMatch(lines, 0, patterns, true);
}

::testing::AssertionResult answeredRound(const std::vector<std::string>& lines, std::size_t at, const std::string& sent,
                                         const std::string& label) {
  return linesMatch(lines, at, roundPatterns(sent, label), false);
}

std::vector<int> roundTripsMs(const std::vector<std::string>& lines) {
  std::vector<int> trips;
  const std::string head = "Время приема-передачи: ";
  for (const std::string& line : lines) {
    const auto at = line.find(head);
    int minutes = 0, seconds = 0, millis = 0;
    if (at == std::string::npos ||
        std::sscanf(line.c_str() + at + head.size(), "%d:%d.%d", &minutes, &seconds, &millis) != 3) {
      continue;
    }
    trips.push_back((minutes * 60 + seconds) * 1000 + millis);
  }
  return trips;
}

bool eventually(const std::function<bool()>& done, milliseconds limit, milliseconds step) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(step);
  }
  return true;
}

int occurrences(const std::string& text, const std::string& needle) {
  int n = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++n;
  return n;
}

}  // namespace connchk::testing
