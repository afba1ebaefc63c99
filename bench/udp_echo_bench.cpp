// Loads the server's UDP echo service over loopback and sets its figures beside those of a bare
// receive-and-send loop measured in the same run: answers per second, answer latency p50 and p99,
// lost answers, the server's log lines written against those expected, torn lines, and the time
// from an answer to its lines in the file.
//
// The real server program runs in terminal mode (its stdout goes to a file beside its copy, as
// in the end-to-end tests), then in its window on the offscreen platform, then in its window under
// an Xvfb of the benchmark's own where Xvfb is installed; the bare loop runs in a child process;
// the load comes from this process. Everything happens in a private network namespace that the
// benchmark makes, so it needs root (or a user namespace). Each measurement lasts a bounded time
// and everything started is stopped at the end.
#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/activity_log.h"
#include "common/console_view.h"
#include "common/cp1251.h"
#include "common/text_format.h"
#include "common/platform/sockets.h"
#include "common/protocol.h"
#include "tests/support/network_namespace.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace connchk;

namespace {

constexpr std::uint16_t BarePort = 88;
constexpr std::size_t SequenceOffset = 20;  // in the filler, which the echo returns unchanged
constexpr int LinesPerAnswer = 3;           // received-packet line, bytes sent, waiting again
constexpr auto LossTimeout = std::chrono::milliseconds(200);
constexpr auto DrainTime = std::chrono::milliseconds(500);

struct Options {
  int seconds = 1;  // per slice
  int rounds = 5;   // slices of each kind, taken in turn with the bare loop's
  bool spin = false;  // the load never sleeps while it waits, so no answer waits for it to wake
  std::size_t size = 32;
  std::string server = SERVER_PROGRAM;
  bool window = true;  // also measure the server in its window
};

// The service's loop without its log: receive a datagram, write the reply marker, send it back.
[[noreturn]] void bareLoop(int fd) {
  std::uint8_t buffer[ReceiveBufferSize];
  for (;;) {
    platform::Address from;
    const auto got = platform::receiveFrom(fd, buffer, sizeof buffer, from);
    if (got.n < static_cast<ssize_t>(layout_a::MinLength)) continue;
    putMarker(buffer, layout_a::Marker, ReplyMarker);
    platform::sendTo(fd, buffer, static_cast<std::size_t>(got.n), from);
  }
}

// A UDP socket connected to `port` of 127.0.0.1; invalid, with `error` set, when that fails.
platform::Socket udpTo(std::uint16_t port, int& error) {
  platform::Socket socket = platform::openSocket(platform::Family::IPv4, SOCK_DGRAM, 0, error);
  if (socket.valid() && !platform::connectTo(socket.fd(), platform::Address::loopback(platform::Family::IPv4, port), error)) {
    socket.close();
  }
  return socket;
}

pid_t startBareLoop(std::string& why) {
  int error = 0;
  platform::Socket socket = platform::openSocket(platform::Family::IPv4, SOCK_DGRAM, 0, error);
  if (!socket.valid() || !platform::bindTo(socket.fd(), platform::Address::any(platform::Family::IPv4, BarePort), error)) {
    why = std::string("bare loop socket: ") + std::strerror(error);
    return -1;
  }
  const pid_t pid = fork();
  if (pid == 0) bareLoop(socket.fd());
  if (pid < 0) why = "fork failed";
  return pid;
}

// How the server shows its lines: printed in terminal mode, or in its window on a platform.
enum class Front { Terminal, Offscreen, Xvfb };

const char* frontName(Front front) {
  switch (front) {
    case Front::Terminal: return "terminal";
    case Front::Offscreen: return "window, offscreen";
    case Front::Xvfb: return "window, Xvfb";
  }
  return "";
}

// The server copied into a folder of its own, so that its log file is a fresh one there.
struct ServerProcess {
  std::string folder;
  pid_t pid = -1;
  std::string logPath() const { return folder + "/" + ServerLogFileName; }
};

// An X server of the benchmark's own, on a display number it picks itself.
struct XServer {
  pid_t pid = -1;
  std::string display;
};

std::optional<XServer> startXvfb() {
  int ends[2];
  if (pipe(ends) != 0) return std::nullopt;
  XServer x;
  x.pid = fork();
  if (x.pid == 0) {
    close(ends[0]);
    const int quiet = open("/dev/null", O_WRONLY);
    if (quiet >= 0) {
      dup2(quiet, 1);
      dup2(quiet, 2);
    }
    const std::string fd = std::to_string(ends[1]);
    execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", "-screen", "0", "1024x768x24",
           static_cast<char*>(nullptr));
    _exit(127);
  }
  close(ends[1]);
  std::string number;
  char c;
  pollfd p{ends[0], POLLIN, 0};
  while (poll(&p, 1, 10000) > 0 && read(ends[0], &c, 1) == 1 && c != '\n') number += c;
  close(ends[0]);
  if (x.pid < 0) return std::nullopt;
  if (number.empty()) {
    kill(x.pid, SIGTERM);
    waitpid(x.pid, nullptr, 0);
    return std::nullopt;
  }
  x.display = ":" + number;
  return x;
}

void stopXvfb(XServer& x) {
  if (x.pid <= 0) return;
  kill(x.pid, SIGTERM);
  waitpid(x.pid, nullptr, 0);
  x.pid = -1;
}

bool startServer(const std::string& program, Front front, const std::string& display, ServerProcess& server,
                 std::string& why) {
  char pattern[] = "/tmp/bench-udp-echo-XXXXXX";
  if (!mkdtemp(pattern)) {
    why = "mkdtemp failed";
    return false;
  }
  server.folder = pattern;
  const std::string copy = server.folder + "/server";
  std::error_code failed;
  fs::copy_file(program, copy, failed);
  if (failed) {
    why = "cannot copy " + program + ": " + failed.message();
    return false;
  }
  server.pid = fork();
  if (server.pid == 0) {
    const int out = open((server.folder + "/stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open((server.folder + "/stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(127);
    unsetenv("WAYLAND_DISPLAY");
    if (front == Front::Terminal) {
      // The log's flood bound is off: the benchmark measures every line's way to the file.
      execl(copy.c_str(), copy.c_str(), "--console", "--log-rate", "0", "--log-keep-free", "0", static_cast<char*>(nullptr));
    } else {
      if (front == Front::Offscreen) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
      } else {
        unsetenv("QT_QPA_PLATFORM");
        setenv("DISPLAY", display.c_str(), 1);
      }
      execl(copy.c_str(), copy.c_str(), "--log-rate", "0", "--log-keep-free", "0", static_cast<char*>(nullptr));
    }
    _exit(127);
  }
  if (server.pid < 0) why = "fork failed";
  return server.pid > 0;
}

// A termination request ends the server as its Exit does: every line in the file first.
int stopServer(ServerProcess& server) {
  int status = -1;
  if (server.pid > 0) {
    kill(server.pid, SIGTERM);
    waitpid(server.pid, &status, 0);
  }
  server.pid = -1;
  return status;
}

// Printed lines the terminal mode dropped for a slow reader, as it says on stderr.
long linesNotPrinted(const ServerProcess& server) {
  std::ifstream in(server.folder + "/stderr.txt");
  const std::string note = "пропущено строк вывода: ";
  long dropped = 0;
  for (std::string line; std::getline(in, line);) {
    const auto at = line.find(note);
    if (at != std::string::npos) dropped += std::atol(line.c_str() + at + note.size());
  }
  return dropped;
}

void removeServerFolder(ServerProcess& server) {
  std::error_code ignored;
  if (!server.folder.empty()) fs::remove_all(server.folder, ignored);
}

// Whether a UDP socket is bound to `port`, as the kernel's table says.
bool udpPortBound(std::uint16_t port) {
  char suffix[8];
  std::snprintf(suffix, sizeof suffix, ":%04X", port);
  // The server's sockets serve both families and stand in the IPv6 table.
  for (const char* table : {"/proc/net/udp", "/proc/net/udp6"}) {
    std::ifstream in(table);
    std::string line;
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local;
      fields >> slot >> local;
      if (local.size() > 5 && local.compare(local.size() - 5, 5, suffix) == 0) return true;
    }
  }
  return false;
}

bool waitForUdpPort(std::uint16_t port) {
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (!udpPortBound(port)) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

struct LoadResult {
  double seconds = 0;
  long sent = 0;
  long answeredInTime = 0;  // within the measured interval: these make the rate and latencies
  long answeredAfter = 0;   // after the interval, or after the request was given up for lost
  long late = 0;            // of those, the ones given up for lost first
  std::vector<double> latencyUs;
  double cpuSeconds = 0;  // used by the process that answers, all its threads

  // CPU time the answering process spent per answer: what the work costs, whatever else runs.
  double cpuUsPerAnswer() const {
    const long answers = answeredInTime + answeredAfter;
    return answers > 0 ? cpuSeconds * 1e6 / static_cast<double>(answers) : 0;
  }

  // Adds another measurement of the same kind.
  LoadResult& operator+=(const LoadResult& other) {
    seconds += other.seconds;
    sent += other.sent;
    answeredInTime += other.answeredInTime;
    answeredAfter += other.answeredAfter;
    late += other.late;
    cpuSeconds += other.cpuSeconds;
    latencyUs.insert(latencyUs.end(), other.latencyUs.begin(), other.latencyUs.end());
    return *this;
  }

  long lost() const { return sent - answeredInTime - answeredAfter; }
  double rate() const { return seconds > 0 ? answeredInTime / seconds : 0; }
  double percentile(double p) const {
    if (latencyUs.empty()) return 0;
    std::vector<double> sorted(latencyUs);
    const auto k = static_cast<std::size_t>(p * static_cast<double>(sorted.size() - 1));
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(k), sorted.end());
    return sorted[k];
  }
};

// Keeps `window` requests in flight to `port` for `duration`: each answer is timed and replaced
// by a new request. When nothing comes back for LossTimeout, those in flight are given up for
// lost and the window is filled again; an answer that still comes counts as late, not lost.
LoadResult runLoad(std::uint16_t port, int window, std::chrono::seconds duration, std::size_t size, bool spin) {
  LoadResult result;
  int error = 0;
  platform::Socket socket = udpTo(port, error);
  if (!socket.valid()) {
    std::fprintf(stderr, "bench: load socket: %s\n", std::strerror(error));
    return result;
  }
  std::vector<Clock::time_point> sentAt;  // by sequence number
  std::vector<bool> inFlight;
  std::vector<std::uint8_t> packet(std::max(size, SequenceOffset + 8));
  int flying = 0;

  const auto send = [&] {
    const auto sequence = static_cast<std::uint64_t>(sentAt.size());
    buildEchoRequest(packet.data(), SendTimestamp());
    putU64(packet.data(), SequenceOffset, sequence);
    sentAt.push_back(Clock::now());
    inFlight.push_back(true);
    if (platform::sendBytes(socket.fd(), packet.data(), packet.size()).failed()) return;
    ++result.sent;
    ++flying;
  };

  const auto start = Clock::now();
  const auto end = start + duration;
  for (int i = 0; i < window; ++i) send();
  std::uint8_t answer[ReceiveBufferSize];
  auto lastAnswer = start;
  for (;;) {
    const auto now = Clock::now();
    const bool draining = now >= end;
    if (draining && (flying == 0 || now >= end + DrainTime)) break;
    pollfd p{socket.fd(), POLLIN, 0};
    if (poll(&p, 1, spin ? 0 : 20) <= 0) {
      if (!draining && Clock::now() - lastAnswer > LossTimeout) {
        std::fill(inFlight.begin(), inFlight.end(), false);
        flying = 0;
        for (int i = 0; i < window; ++i) send();
        lastAnswer = Clock::now();
      }
      continue;
    }
    const auto got = platform::receive(socket.fd(), answer, sizeof answer);
    const auto receivedAt = Clock::now();
    if (got.n < static_cast<ssize_t>(SequenceOffset + 8) ||
        !hasMarker(answer, static_cast<std::size_t>(got.n), layout_a::Marker, ReplyMarker)) {
      continue;
    }
    const std::uint64_t sequence = readU64(answer, SequenceOffset);
    if (sequence >= sentAt.size()) continue;
    lastAnswer = receivedAt;
    if (!inFlight[sequence] || draining) {
      if (inFlight[sequence]) {
        --flying;
      } else {
        ++result.late;
      }
      inFlight[sequence] = false;
      ++result.answeredAfter;
      continue;
    }
    inFlight[sequence] = false;
    --flying;
    ++result.answeredInTime;
    result.latencyUs.push_back(std::chrono::duration<double, std::micro>(receivedAt - sentAt[sequence]).count());
    if (receivedAt < end) send();
  }
  result.seconds = std::chrono::duration<double>(std::min(Clock::now(), end) - start).count();
  return result;
}

// User and system time of a process so far, all its threads.
double cpuSecondsOf(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto close = text.rfind(')');  // the command name may hold spaces
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i >= 14) ticks += std::atof(field.c_str());  // utime, stime
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// runLoad, with the CPU time that `responder` spent meanwhile.
LoadResult runLoadOn(pid_t responder, std::uint16_t port, int window, const Options& options) {
  const double before = cpuSecondsOf(responder);
  LoadResult r = runLoad(port, window, std::chrono::seconds(options.seconds), options.size, options.spin);
  r.cpuSeconds = cpuSecondsOf(responder) - before;
  return r;
}

// The file's lines, and those that are not whole lines the server logs under this load (a torn
// or glued line would be one).
struct FileCheck {
  long answerLines = 0;  // the three lines of each answer
  long torn = 0;
};

FileCheck checkLogFile(const std::string& path, std::size_t size) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream all;
  all << in.rdbuf();
  const std::string text = all.str();
  const std::string packet = toWindows1251(
      format("Принят пакет от 127.0.0.1 (unresolved), протокол IP-Клиент, %zu байт данных", size));
  const std::string sent = toWindows1251(format("Отослано %zu байт данных", size));
  const std::string waiting = toWindows1251("Ожидание нового запроса");
  const std::string start = toWindows1251("Старт сервера, протокол ");
  FileCheck check;
  std::size_t from = 0;
  for (std::size_t end; (end = text.find("\n\r", from)) != std::string::npos; from = end + 2) {
    const std::string line = text.substr(from, end - from);
    if (line == packet || line == sent || line == waiting) {
      ++check.answerLines;
    } else if (line.rfind(start, 0) != 0) {
      ++check.torn;
    }
  }
  if (from < text.size()) ++check.torn;  // the file ends inside a line
  return check;
}

std::size_t fileSize(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<std::size_t>(st.st_size) : 0;
}

// From an answer to its three lines in the file, one request at a time on an idle server: the
// writer then waits its whole period for more lines, so this is the longest wait.
std::vector<double> answerToFileMs(const std::string& path, std::size_t size, int samples) {
  std::vector<double> ms;
  int error = 0;
  platform::Socket socket = udpTo(EchoPort, error);
  if (!socket.valid()) {
    return ms;
  }
  const std::size_t bytesPerAnswer =
      ActivityLog::fileBytes(LogStyle::Server, format("Принят пакет от 127.0.0.1 (unresolved), протокол IP-Клиент, %zu байт данных", size)).size() +
      ActivityLog::fileBytes(LogStyle::Server, format("Отослано %zu байт данных", size)).size() +
      ActivityLog::fileBytes(LogStyle::Server, "Ожидание нового запроса").size();
  std::vector<std::uint8_t> packet(std::max(size, SequenceOffset + 8));
  std::uint8_t answer[ReceiveBufferSize];
  for (int i = 0; i < samples; ++i) {
    const std::size_t before = fileSize(path);
    buildEchoRequest(packet.data(), SendTimestamp());
    if (platform::sendBytes(socket.fd(), packet.data(), packet.size()).failed()) break;
    pollfd p{socket.fd(), POLLIN, 0};
    if (poll(&p, 1, 1000) <= 0) break;
    platform::receive(socket.fd(), answer, sizeof answer);
    const auto answered = Clock::now();
    while (fileSize(path) < before + bytesPerAnswer && Clock::now() - answered < std::chrono::seconds(1)) {
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - answered).count());
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return ms;
}

double percentileOf(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

// What one log call costs the thread that logs, measured here with the terminal's view printing
// to a file: the service pays this per line; the writing happens on the log's own threads.
double logCallUs() {
  constexpr int Lines = 200000;
  const std::string text = "Принят пакет от 127.0.0.1 (unresolved), протокол IP-Клиент, 32 байт данных";
  char pattern[] = "/tmp/bench-log-call-XXXXXX";
  if (!mkdtemp(pattern)) return 0;
  const std::string folder = pattern;
  std::FILE* printed = std::fopen((folder + "/printed.txt").c_str(), "w");
  double us = 0;
  if (printed) {
    ConsoleView view(printed);
    ActivityLog log = ActivityLog::atPath(LogStyle::Server, folder + "/server_log.txt");
    log.setView(&view);
    // In bursts that the terminal's view takes whole, as a busy service logs.
    constexpr int Burst = 1000;
    std::chrono::duration<double, std::micro> spent{0};
    for (int done = 0; done < Lines; done += Burst) {
      const auto t0 = Clock::now();
      for (int i = 0; i < Burst; ++i) log.log(text);
      spent += Clock::now() - t0;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    us = spent.count() / Lines;
  }
  if (printed) std::fclose(printed);
  std::error_code ignored;
  fs::remove_all(folder, ignored);
  return us;
}

// One front-end under the load: its rows, and what became of its log lines.
// One front-end under the load, each slice right after the same slice of the bare loop, so that
// what else runs on the machine weighs on both alike; and what became of its log lines.
struct FrontResult {
  Front front = Front::Terminal;
  LoadResult one, eight;          // the server
  LoadResult bareOne, bareEight;  // the bare loop, in the slices next to the server's
  long expected = 0;
  long notPrinted = 0;
  FileCheck file;
  std::vector<double> toFileMs;
  int exitStatus = -1;
};

std::optional<FrontResult> measureServer(const Options& options, pid_t bare, Front front, const std::string& display,
                                         std::string& why) {
  ServerProcess server;
  if (!startServer(options.server, front, display, server, why) || !waitForUdpPort(EchoPort)) {
    why = std::string(frontName(front)) + ": the server did not start its UDP echo service " + why;
    stopServer(server);
    removeServerFolder(server);
    return std::nullopt;
  }
  FrontResult r;
  r.front = front;
  for (int round = 0; round < options.rounds; ++round) {
    r.bareOne += runLoadOn(bare, BarePort, 1, options);
    r.one += runLoadOn(server.pid, EchoPort, 1, options);
    r.bareEight += runLoadOn(bare, BarePort, 8, options);
    r.eight += runLoadOn(server.pid, EchoPort, 8, options);
  }
  r.toFileMs = answerToFileMs(server.logPath(), std::max(options.size, SequenceOffset + 8), 200);
  r.expected = LinesPerAnswer * (r.one.sent + r.eight.sent + static_cast<long>(r.toFileMs.size()));
  const int status = stopServer(server);
  r.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.file = checkLogFile(server.logPath(), std::max(options.size, SequenceOffset + 8));
  r.notPrinted = linesNotPrinted(server);
  removeServerFolder(server);
  return r;
}

void printRow(const std::string& name, const LoadResult& r, const LoadResult& bare) {
  std::printf("%-30s %9.0f %8.1f %8.1f %5ld %5ld %9.0f %6.2f %7.1f %7.1f\n", name.c_str(), r.rate(),
              r.percentile(0.50), r.percentile(0.99), r.lost(), r.late, bare.rate(),
              bare.rate() > 0 ? r.rate() / bare.rate() : 0, r.cpuUsPerAnswer(), bare.cpuUsPerAnswer());
}

const char* verdict(bool met) { return met ? "met" : "MISSED"; }

double ratio(const LoadResult& a, const LoadResult& b) { return b.rate() > 0 ? a.rate() / b.rate() : 0; }

// A window against terminal mode, each first set against the bare loop next to it.
double ratioOfRatios(const LoadResult& a, const LoadResult& bareA, const LoadResult& b, const LoadResult& bareB) {
  const double rb = ratio(b, bareB);
  return rb > 0 ? ratio(a, bareA) / rb : 0;
}

std::optional<Options> parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--seconds" && i + 1 < argc) {
      o.seconds = std::atoi(argv[++i]);
    } else if (a == "--size" && i + 1 < argc) {
      o.size = static_cast<std::size_t>(std::atoi(argv[++i]));
    } else if (a == "--spin") {
      o.spin = true;
    } else if (a == "--server" && i + 1 < argc) {
      o.server = argv[++i];
    } else if (a == "--rounds" && i + 1 < argc) {
      o.rounds = std::atoi(argv[++i]);
    } else if (a == "--no-window") {
      o.window = false;
    } else {
      return std::nullopt;
    }
  }
  if (o.seconds < 1 || o.seconds > 60 || o.rounds < 1 || o.rounds > 20 || o.size < 28 || o.size > ReceiveBufferSize) {
    return std::nullopt;
  }
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  const auto options = parse(argc, argv);
  if (!options) {
    std::fprintf(stderr,
                 "Usage: bench_udp_echo [--seconds 1..60] [--rounds 1..20] [--size 28..2048] [--spin] [--no-window]\n"
                 "                      [--server PATH]\n");
    return 2;
  }
  std::string why;
  if (!connchk::testing::enterPrivateNetwork(why)) {
    std::fprintf(stderr, "bench: no private network namespace: %s\n", why.c_str());
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);

  // The bare loop serves on its own port while each server in turn serves port 87.
  const pid_t bare = startBareLoop(why);
  if (bare < 0) {
    std::fprintf(stderr, "bench: %s\n", why.c_str());
    return 2;
  }
  std::vector<FrontResult> fronts;
  const auto measure = [&](Front front, const std::string& display) {
    if (auto r = measureServer(*options, bare, front, display, why)) {
      fronts.push_back(*r);
    } else {
      std::fprintf(stderr, "bench: %s\n", why.c_str());
    }
  };
  measure(Front::Terminal, {});
  std::string xvfbNote;
  if (options->window) {
    measure(Front::Offscreen, {});
    if (auto x = startXvfb()) {
      measure(Front::Xvfb, x->display);
      stopXvfb(*x);
    } else {
      xvfbNote = "no Xvfb here: the window was measured on the offscreen platform only\n";
    }
  }
  kill(bare, SIGKILL);
  waitpid(bare, nullptr, 0);
  if (fronts.empty() || fronts[0].front != Front::Terminal) return 2;

  std::printf("UDP echo over loopback in a private network namespace: %zu-byte requests, %d rounds of %d s\n"
              "slices per row%s, each server slice right after a bare loop slice\n",
              options->size, options->rounds, options->seconds, options->spin ? ", the load spinning while it waits" : "");
  std::printf("server: the real program (its output to a file in terminal mode); bare: the same receive\n"
              "and send in a child process, without the log\n%s\n", xvfbNote.c_str());
  std::printf("%-30s %9s %8s %8s %5s %5s %9s %6s %15s\n", "", "answers/s", "p50 us", "p99 us", "lost", "late",
              "bare /s", "ratio", "CPU us/answer");
  std::printf("%-30s %9s %8s %8s %5s %5s %9s %6s %7s %7s\n", "", "", "", "", "", "", "", "", "server", "bare");
  for (const FrontResult& f : fronts) {
    printRow(std::string(frontName(f.front)) + ", 1 in flight", f.one, f.bareOne);
    printRow(std::string(frontName(f.front)) + ", 8 in flight", f.eight, f.bareEight);
  }
  std::printf("\n%-20s %19s %6s %6s %20s %5s %9s\n", "log file", "lines written/exp", "lost", "torn",
              "answer->file ms", "exit", "unprinted");
  std::printf("%-20s %19s %6s %6s %20s %5s %9s\n", "", "", "", "", "p50 / p99 / max", "", "");
  bool linesWhole = true;
  for (const FrontResult& f : fronts) {
    const long lost = std::max(0L, f.expected - f.file.answerLines);
    linesWhole = linesWhole && lost == 0 && f.file.torn == 0 && f.exitStatus == 0;
    char delays[64];
    std::snprintf(delays, sizeof delays, "%.1f / %.1f / %.1f", percentileOf(f.toFileMs, 0.5),
                  percentileOf(f.toFileMs, 0.99), percentileOf(f.toFileMs, 1.0));
    std::printf("%-20s %9ld/%-9ld %6ld %6ld %20s %5d %9s\n", frontName(f.front), f.file.answerLines, f.expected,
                lost, f.file.torn, delays, f.exitStatus,
                f.front == Front::Terminal ? std::to_string(f.notPrinted).c_str() : "-");
  }

  const FrontResult& terminal = fronts[0];
  const double t1 = ratio(terminal.one, terminal.bareOne), t8 = ratio(terminal.eight, terminal.bareEight);
  bool met = t1 >= 0.90 && t8 >= 0.80 && linesWhole;
  std::printf("\nterminal, 1 in flight: %.2f of the bare loop (goal 0.90 or more): %s\n", t1, verdict(t1 >= 0.90));
  std::printf("terminal, 8 in flight: %.2f of the bare loop (goal 0.80 or more): %s\n", t8, verdict(t8 >= 0.80));
  // Where the CPU is the limit, the rate goes as the inverse of the CPU time per answer.
  const auto cpuRatio = [](const LoadResult& server, const LoadResult& bareLoop) {
    return server.cpuUsPerAnswer() > 0 ? bareLoop.cpuUsPerAnswer() / server.cpuUsPerAnswer() : 0;
  };
  std::printf("(CPU time per answer, bare loop / terminal mode: %.2f at 1 in flight, %.2f at 8)\n",
              cpuRatio(terminal.one, terminal.bareOne), cpuRatio(terminal.eight, terminal.bareEight));
  for (std::size_t i = 1; i < fronts.size(); ++i) {
    const FrontResult& w = fronts[i];
    const double w1 = ratioOfRatios(w.one, w.bareOne, terminal.one, terminal.bareOne);
    const double w8 = ratioOfRatios(w.eight, w.bareEight, terminal.eight, terminal.bareEight);
    met = met && w1 >= 0.90 && w8 >= 0.90;
    std::printf("%s: %.2f / %.2f of terminal mode at 1 / 8 in flight, each against its bare loop (goal 0.90 or more): %s\n",
                frontName(w.front), w1, w8, verdict(w1 >= 0.90 && w8 >= 0.90));
  }
  std::printf("log lines lost or torn, and a clean end on SIGTERM: %s\n", verdict(linesWhole));
  std::printf("\none log call costs the thread that logs %.2f us (with the terminal's view); %d lines per answer\n",
              logCallUs(), LinesPerAnswer);
  return met ? 0 : 1;
}
