// Loads the server's UDP echo service over loopback and sets its figures beside those of a bare
// receive-and-send loop measured in the same run: answers per second, answer latency p50 and p99,
// lost answers, and the server's log lines written against those expected.
//
// The real server program runs in terminal mode (its stdout goes to a file beside its copy, as
// in the end-to-end tests); the bare loop runs in a child process; the load comes from this
// process. Everything happens in a private network namespace that the benchmark makes, so it
// needs root (or a user namespace). Each measurement lasts a bounded time and everything started
// is stopped at the end.
#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/activity_log.h"
#include "common/console_view.h"
#include "common/platform/files.h"
#include "common/platform/net.h"
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
  int seconds = 3;
  bool spin = false;  // the load never sleeps while it waits, so no answer waits for it to wake
  std::size_t size = 32;
  std::string server = SERVER_PROGRAM;
};

// The service's loop without its log: receive a datagram, write the reply marker, send it back.
[[noreturn]] void bareLoop(int fd) {
  std::uint8_t buffer[ReceiveBufferSize];
  for (;;) {
    sockaddr_in from{};
    const auto got = platform::receiveFrom(fd, buffer, sizeof buffer, from);
    if (got.n < static_cast<ssize_t>(layout_a::MinLength)) continue;
    putMarker(buffer, layout_a::Marker, ReplyMarker);
    platform::sendTo(fd, buffer, static_cast<std::size_t>(got.n), from);
  }
}

pid_t startBareLoop(std::string& why) {
  int error = 0;
  platform::Socket socket = platform::openSocket(SOCK_DGRAM, 0, error);
  if (!socket.valid() || !platform::bindTo(socket.fd(), platform::anyAddress(BarePort), error)) {
    why = std::string("bare loop socket: ") + std::strerror(error);
    return -1;
  }
  const pid_t pid = fork();
  if (pid == 0) bareLoop(socket.fd());
  if (pid < 0) why = "fork failed";
  return pid;
}

// The server copied into a folder of its own, so that its log file is a fresh one there.
struct ServerProcess {
  std::string folder;
  pid_t pid = -1;
  std::string logPath() const { return folder + "/" + ServerLogFileName; }
};

bool startServer(const std::string& program, ServerProcess& server, std::string& why) {
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
    execl(copy.c_str(), copy.c_str(), "--console", static_cast<char*>(nullptr));
    _exit(127);
  }
  if (server.pid < 0) why = "fork failed";
  return server.pid > 0;
}

void stopServer(ServerProcess& server) {
  if (server.pid > 0) {
    kill(server.pid, SIGTERM);
    waitpid(server.pid, nullptr, 0);
  }
  std::error_code ignored;
  if (!server.folder.empty()) fs::remove_all(server.folder, ignored);
}

// Whether a UDP socket is bound to `port`, as the kernel's table says.
bool udpPortBound(std::uint16_t port) {
  char suffix[8];
  std::snprintf(suffix, sizeof suffix, ":%04X", port);
  std::ifstream in("/proc/net/udp");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, local;
    fields >> slot >> local;
    if (local.size() > 5 && local.compare(local.size() - 5, 5, suffix) == 0) return true;
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

// Server lines in its log file end LF CR.
long countLogLines(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string chunk(1 << 16, '\0');
  long lines = 0;
  char previous = 0;
  while (in.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || in.gcount() > 0) {
    const auto n = static_cast<std::size_t>(in.gcount());
    for (std::size_t i = 0; i < n; ++i) {
      if (previous == '\n' && chunk[i] == '\r') ++lines;
      previous = chunk[i];
    }
  }
  return lines;
}

// The server logs after it answers, so its last lines may come a little after the last answer.
long waitForLogLines(const std::string& path, long expected) {
  long seen = countLogLines(path);
  auto lastChange = Clock::now();
  while (seen < expected && Clock::now() - lastChange < std::chrono::seconds(2)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const long now = countLogLines(path);
    if (now != seen) lastChange = Clock::now();
    seen = now;
  }
  return seen;
}

struct LoadResult {
  double seconds = 0;
  long sent = 0;
  long answeredInTime = 0;  // within the measured interval: these make the rate and latencies
  long answeredAfter = 0;   // after the interval, or after the request was given up for lost
  long late = 0;            // of those, the ones given up for lost first
  std::vector<double> latencyUs;

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
  platform::Socket socket = platform::openSocket(SOCK_DGRAM, 0, error);
  if (!socket.valid() || !platform::connectTo(socket.fd(), platform::ipv4Address(htonl(INADDR_LOOPBACK), port), error)) {
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

// What one log line costs the server, measured here with the same log: the file opened, written
// and closed per line, and the line printed to a file as the terminal mode prints it.
struct LineCost {
  double fileOnlyUs = 0;
  double wholeLineUs = 0;
};

LineCost measureLogLine(const std::string& folder) {
  constexpr int Lines = 20000;
  const std::string text = "Принят пакет от 127.0.0.1 (unresolved), протокол IP-Клиент, 32 байт данных";
  LineCost cost;
  const std::string bytes = ActivityLog::fileBytes(LogStyle::Server, text);
  auto t0 = Clock::now();
  for (int i = 0; i < Lines; ++i) platform::appendToFile(folder + "/file-only.txt", bytes);
  cost.fileOnlyUs = std::chrono::duration<double, std::micro>(Clock::now() - t0).count() / Lines;

  std::FILE* printed = std::fopen((folder + "/printed.txt").c_str(), "w");
  if (!printed) return cost;
  ConsoleView view(printed);
  ActivityLog log = ActivityLog::atPath(LogStyle::Server, folder + "/whole-line.txt");
  log.setView(&view);
  t0 = Clock::now();
  for (int i = 0; i < Lines; ++i) log.log(text);
  cost.wholeLineUs = std::chrono::duration<double, std::micro>(Clock::now() - t0).count() / Lines;
  std::fclose(printed);
  return cost;
}

void printRow(const char* name, const LoadResult& r, const std::string& logColumn) {
  std::printf("%-24s %11.0f %9.1f %9.1f %7ld %7ld %s\n", name, r.rate(), r.percentile(0.50), r.percentile(0.99),
              r.lost(), r.late, logColumn.c_str());
}

const char* verdict(bool met) { return met ? "met" : "MISSED"; }

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
    } else {
      return std::nullopt;
    }
  }
  if (o.seconds < 1 || o.seconds > 60 || o.size < 28 || o.size > ReceiveBufferSize) return std::nullopt;
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  const auto options = parse(argc, argv);
  if (!options) {
    std::fprintf(stderr, "Usage: bench_udp_echo [--seconds 1..60] [--size 28..2048] [--spin] [--server PATH]\n");
    return 2;
  }
  std::string why;
  if (!connchk::testing::enterPrivateNetwork(why)) {
    std::fprintf(stderr, "bench: no private network namespace: %s\n", why.c_str());
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  const std::chrono::seconds duration(options->seconds);

  const pid_t bare = startBareLoop(why);
  if (bare < 0) {
    std::fprintf(stderr, "bench: %s\n", why.c_str());
    return 2;
  }
  const LoadResult bare1 = runLoad(BarePort, 1, duration, options->size, options->spin);
  const LoadResult bare8 = runLoad(BarePort, 8, duration, options->size, options->spin);
  kill(bare, SIGKILL);
  waitpid(bare, nullptr, 0);

  ServerProcess server;
  if (!startServer(options->server, server, why) || !waitForUdpPort(EchoPort)) {
    std::fprintf(stderr, "bench: the server did not start its UDP echo service: %s\n", why.c_str());
    stopServer(server);
    return 2;
  }
  // Its start lines are already in the file; count what each measurement adds to them.
  long before = waitForLogLines(server.logPath(), 1);
  const LoadResult server1 = runLoad(EchoPort, 1, duration, options->size, options->spin);
  const long expected1 = LinesPerAnswer * server1.sent;
  const long written1 = waitForLogLines(server.logPath(), before + expected1) - before;
  before += written1;
  const LoadResult server8 = runLoad(EchoPort, 8, duration, options->size, options->spin);
  const long expected8 = LinesPerAnswer * server8.sent;
  const long written8 = waitForLogLines(server.logPath(), before + expected8) - before;
  const LineCost lineCost = measureLogLine(server.folder);
  stopServer(server);

  std::printf("UDP echo over loopback in a private network namespace: %zu-byte requests, %d s per row%s\n",
              options->size, options->seconds, options->spin ? ", the load spinning while it waits" : "");
  std::printf("server: the real program in terminal mode, its output to a file; bare: the same receive\n"
              "and send in a child process, without the log\n\n");
  std::printf("%-24s %11s %9s %9s %7s %7s %s\n", "", "answers/s", "p50 us", "p99 us", "lost", "late",
              "log lines written/expected");
  printRow("bare loop, 1 in flight", bare1, "-");
  printRow("bare loop, 8 in flight", bare8, "-");
  printRow("server, 1 in flight", server1, std::to_string(written1) + "/" + std::to_string(expected1));
  printRow("server, 8 in flight", server8, std::to_string(written8) + "/" + std::to_string(expected8));

  const double ratio1 = bare1.rate() > 0 ? server1.rate() / bare1.rate() : 0;
  const double ratio8 = bare8.rate() > 0 ? server8.rate() / bare8.rate() : 0;
  const long linesLost = (expected1 - written1) + (expected8 - written8);
  const bool goal1 = ratio1 >= 0.90, goal8 = ratio8 >= 0.50, goalLines = linesLost <= 0;
  std::printf("\n1 in flight: %.2f of the bare loop (goal 0.90 or more): %s\n", ratio1, verdict(goal1));
  std::printf("8 in flight: %.2f of the bare loop (goal 0.50 or more): %s\n", ratio8, verdict(goal8));
  std::printf("log lines lost: %ld (goal 0): %s\n", std::max(0L, linesLost), verdict(goalLines));
  std::printf("\none log line, measured in this process: %.1f us for the file alone (open, write, close),\n"
              "%.1f us with the printed line; %d lines per answer\n",
              lineCost.fileOnlyUs, lineCost.wholeLineUs, LinesPerAnswer);
  return goal1 && goal8 && goalLines ? 0 : 1;
}
