// Loads the real server's responders over loopback, every line logged (--log-rate 0), and sets
// each figure beside that of a bare loop measured in the same round: a child process that does
// the responder's receive, answer and send without the log. Rows: the UDP echo at 1 and 8
// requests in flight (terminal mode, and the window on the offscreen platform, which runs at the
// same time in a network namespace of its own, so that each round measures both), the raw
// responder (protocol 53 against a bare loop on protocol 200), the ICMP responder (its requests
// against the bare loop's, which carry a marker of their own), and the TCP echo (1 and 8
// connections).
//
// Each slice of the server comes right after the same slice of its bare loop, round after round;
// a row shows the medians of its rounds. Beside each figure stands the CPU time of the load (this
// process's load thread): where the load used (nearly) a whole core the load, not the server, set
// the pace, and the round is not judged. Everything happens in a private network namespace that the
// benchmark makes (root needed), with the kernel's own ICMP echo replies off there. Every slice is
// bounded in time and everything started is stopped at the end.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/activity_log.h"
#include "common/console_view.h"
#include "common/cp1251.h"
#include "common/log_line.h"
#include "common/platform/datagram_batch.h"
#include "common/platform/sockets.h"
#include "common/protocol.h"
#include "common/text_format.h"
#include "server/log_lines.h"
#include "server/messages.h"
#include "server/request_rules.h"
#include "tests/support/network_namespace.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace connchk;

namespace {

constexpr std::uint16_t BareUdpPort = 88;
constexpr std::uint16_t BareTcpPort = 89;
constexpr std::uint8_t RawProtocol = 53;      // the server's responder
constexpr std::uint8_t BareRawProtocol = 200;  // the bare loop's: the server does not see it
// The bare ICMP loop answers requests with this marker where the request marker stands; the
// server's ICMP responder passes them over, as the bare loop passes the server's requests over.
constexpr Marker BareMarker{0xBA, 0xBA, 0xBA, 0xBA, 0xBA, 0xBA, 0xBA, 0xBA, 'B', 'A', 'R', 'E'};
constexpr std::size_t SequenceOffset = 20;  // UDP and TCP: in the filler, which the echo returns
constexpr int LinesPerAnswer = 3;            // received-packet line, bytes sent, waiting again
constexpr auto LossTimeout = std::chrono::milliseconds(200);
constexpr auto DrainTime = std::chrono::milliseconds(300);
// A load thread busy for this share of a slice set the pace itself.
constexpr double LoadBound = 0.90;

struct Options {
  int seconds = 1;  // per slice
  int rounds = 5;
  std::size_t size = 32;
  std::string server = SERVER_PROGRAM;
  bool window = true;
  std::set<std::string> kinds = {"udp", "raw", "icmp", "tcp"};
};

// ---------------------------------------------------------------------------------------------
// The bare loops: the responders' work without the log, each in a child process.

[[noreturn]] void bareUdpLoop(int fd) {
  std::uint8_t buffer[ReceiveBufferSize];
  for (;;) {
    platform::Address from;
    const auto got = platform::receiveFrom(fd, buffer, sizeof buffer, from);
    if (got.value_or(0) == 0 || !server::makeEchoAnswer(server::EchoKind::Udp, buffer, *got)) continue;
    (void)platform::sendTo(fd, buffer, *got, from, platform::Wait::Now);  // an answer not sent counts as lost
  }
}

// Raw IP and ICMP: the responder's rules; the ICMP loop takes only requests with BareMarker.
[[noreturn]] void bareRawLoop(int fd, bool icmp) {
  std::uint8_t buffer[ReceiveBufferSize];
  const std::size_t markerAt = IpHeaderSize + (icmp ? layout_d::Marker : layout_a::Marker);
  for (;;) {
    platform::Address from;
    const auto got = platform::receiveFrom(fd, buffer, sizeof buffer, from);
    if (got.value_or(0) == 0) continue;
    const auto n = *got;
    if (icmp) {
      if (!hasMarker(buffer, n, markerAt, BareMarker) || n < IpHeaderSize + layout_d::Length) continue;
      // The request as the server's own would be, checksum and all.
      std::uint8_t* message = buffer + IpHeaderSize;
      putMarker(message, layout_d::Marker, RequestMarker);
      putU16(message, layout_d::Checksum, 0);
      putU16(message, layout_d::Checksum, InternetChecksum(message, static_cast<int>(n - IpHeaderSize)));
    }
    const auto answer = server::makeRawAnswer(buffer, n);
    if (!answer) continue;
    // An answer not sent counts as lost.
    (void)platform::sendTo(fd, buffer, answer->length,
                           platform::Address::fromBytes(platform::Family::IPv4, answer->source.data()), platform::Wait::Now);
  }
}

[[noreturn]] void bareTcpLoop(int listening) {
  const int events = epoll_create1(0);
  epoll_event e{EPOLLIN, {.fd = listening}};
  epoll_ctl(events, EPOLL_CTL_ADD, listening, &e);
  std::uint8_t buffer[ReceiveBufferSize];
  epoll_event ready[64];
  for (;;) {
    const int n = epoll_wait(events, ready, 64, -1);
    for (int i = 0; i < n; ++i) {
      const int fd = ready[i].data.fd;
      if (fd == listening) {
        const int c = accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) continue;
        const int on = 1;
        setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        epoll_event ce{EPOLLIN, {.fd = c}};
        epoll_ctl(events, EPOLL_CTL_ADD, c, &ce);
        continue;
      }
      const ssize_t got = read(fd, buffer, sizeof buffer);
      if (got <= 0) {
        close(fd);
        continue;
      }
      server::makeEchoAnswer(server::EchoKind::Tcp, buffer, static_cast<std::size_t>(got));
      for (ssize_t done = 0; done < got;) {
        const ssize_t w = write(fd, buffer + done, static_cast<std::size_t>(got - done));
        if (w <= 0) break;
        done += w;
      }
    }
  }
}

struct BareLoops {
  std::vector<pid_t> pids;
  pid_t udp = -1, raw = -1, icmp = -1, tcp = -1;
  ~BareLoops() {
    for (const pid_t pid : pids) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
};

pid_t startChild(const std::function<void()>& body) {
  const pid_t pid = fork();
  if (pid == 0) {
    body();
    _exit(0);
  }
  return pid;
}

bool startBareLoops(BareLoops& loops, std::string& why) {
  const std::array opened = {platform::openSocket(platform::Family::IPv4, SOCK_DGRAM, 0),
                              platform::openSocket(platform::Family::IPv4, SOCK_RAW, BareRawProtocol),
                              platform::openSocket(platform::Family::IPv4, SOCK_RAW, IcmpProtocol),
                              platform::openSocket(platform::Family::IPv4, SOCK_STREAM, 0)};
  const auto& [udp, raw, icmp, tcp] = opened;
  platform::Status ready;
  for (const auto& socket : opened) {
    if (ready) ready = platform::statusOf(socket);
  }
  if (ready) ready = platform::bindTo(udp->fd(), platform::Address::any(platform::Family::IPv4, BareUdpPort));
  if (ready) ready = platform::bindTo(tcp->fd(), platform::Address::any(platform::Family::IPv4, BareTcpPort));
  if (ready) ready = platform::listenOn(tcp->fd(), 64);
  if (!ready) {
    why = std::string("bare loop sockets: ") + std::strerror(ready.code());
    return false;
  }
  platform::raiseSendBuffer(raw->fd(), 4 << 20);
  platform::raiseSendBuffer(icmp->fd(), 4 << 20);
  loops.udp = startChild([&] { bareUdpLoop(udp->fd()); });
  loops.raw = startChild([&] { bareRawLoop(raw->fd(), false); });
  loops.icmp = startChild([&] { bareRawLoop(icmp->fd(), true); });
  loops.tcp = startChild([&] { bareTcpLoop(tcp->fd()); });
  loops.pids = {loops.udp, loops.raw, loops.icmp, loops.tcp};
  return std::all_of(loops.pids.begin(), loops.pids.end(), [](pid_t p) { return p > 0; });
}

// ---------------------------------------------------------------------------------------------
// The server.

enum class Front { Terminal, Offscreen };
const char* frontName(Front front) { return front == Front::Terminal ? "terminal" : "window, offscreen"; }

// The server copied into a folder of its own, so that its log file is a fresh one there.
struct ServerProcess {
  std::string folder;
  pid_t pid = -1;
  int network = -1;  // its network namespace, where it has one of its own
  std::string logPath() const { return folder + "/" + ServerLogFileName; }
};

bool startServer(const std::string& program, Front front, ServerProcess& server, std::string& why) {
  char pattern[] = "/tmp/bench-server-XXXXXX";
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
    // The window runs beside the terminal mode, on the same ports: in a namespace of its own.
    std::string why;
    if (front == Front::Offscreen && !connchk::testing::enterPrivateNetwork(why)) _exit(126);
    // The log's flood bound is off: every request's lines are written.
    if (front == Front::Terminal) {
      execl(copy.c_str(), copy.c_str(), "--console", "--log-rate", "0", "--log-keep-free", "0", static_cast<char*>(nullptr));
    } else {
      setenv("QT_QPA_PLATFORM", "offscreen", 1);
      execl(copy.c_str(), copy.c_str(), "--log-rate", "0", "--log-keep-free", "0", static_cast<char*>(nullptr));
    }
    _exit(127);
  }
  if (server.pid < 0) why = "fork failed";
  return server.pid > 0;
}

// A termination request ends the server as its Exit does: every line in the file first.
int stopServer(ServerProcess& server) {
  if (server.network >= 0) close(server.network);
  server.network = -1;
  int status = -1;
  if (server.pid > 0) {
    kill(server.pid, SIGTERM);
    waitpid(server.pid, &status, 0);
  }
  server.pid = -1;
  return status;
}

void removeServerFolder(ServerProcess& server) {
  std::error_code ignored;
  if (!server.folder.empty()) fs::remove_all(server.folder, ignored);
}

// The server serves once its log names every one of its fifteen services.
bool waitUntilServing(const ServerProcess& server) {
  const std::string started = toWindows1251("Старт сервера, протокол");
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < deadline) {
    std::ifstream in(server.logPath(), std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::size_t count = 0;
    for (std::size_t at = 0; (at = text.find(started, at)) != std::string::npos; at += started.size()) ++count;
    if (count >= 15) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// ---------------------------------------------------------------------------------------------
// The load.

enum class Kind { Udp, Raw, Icmp, Tcp };
const char* kindName(Kind kind) {
  switch (kind) {
    case Kind::Udp: return "UDP echo";
    case Kind::Raw: return "raw IP 53";
    case Kind::Icmp: return "ICMP";
    case Kind::Tcp: return "TCP echo";
  }
  return "";
}

struct Slice {
  double seconds = 0;
  long sent = 0;
  long answered = 0;       // within the slice: these make the rate and latencies
  long answeredAfter = 0;  // after the slice, or after given up for lost
  std::vector<double> latencyUs;
  double responderCpu = 0;  // seconds, of the process that answers (all its threads)
  double loadCpu = 0;       // seconds, of the load thread

  double rate() const { return seconds > 0 ? static_cast<double>(answered) / seconds : 0; }
  long lost() const { return sent - answered - answeredAfter; }
  double cpuUsPerAnswer() const {
    const long all = answered + answeredAfter;
    return all > 0 ? responderCpu * 1e6 / static_cast<double>(all) : 0;
  }
  double loadShare() const { return seconds > 0 ? loadCpu / seconds : 0; }
  bool loadBound() const { return loadShare() >= LoadBound; }
};

double threadCpuSeconds() {
  rusage use{};
  getrusage(RUSAGE_THREAD, &use);
  return static_cast<double>(use.ru_utime.tv_sec + use.ru_stime.tv_sec) +
         static_cast<double>(use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
}

// User and system time of a process so far, all its threads.
double cpuSecondsOf(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i >= 14) ticks += std::atof(field.c_str());  // utime, stime
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// How requests of one kind look, and how an answer names its request.
struct Wire {
  Kind kind;
  bool bare;
  std::size_t size;  // UDP, TCP: the request; raw: the payload
  std::vector<std::uint8_t> request(std::uint64_t sequence) const {
    std::vector<std::uint8_t> b;
    switch (kind) {
      case Kind::Udp:
      case Kind::Tcp:
        b.assign(std::max(size, SequenceOffset + 8), 0x5A);
        buildEchoRequest(b.data(), SendTimestamp());
        putU64(b.data(), SequenceOffset, sequence);
        break;
      case Kind::Raw:
        b.assign(std::max(size, layout_a::MinLength), 0x5A);
        buildEchoRequest(b.data(), sequence);  // the raw answer returns the timestamp alone
        break;
      case Kind::Icmp:
        b.assign(layout_d::Length, 0);
        buildIcmpEchoRequest(b.data(), 0x4242, sequence);
        if (bare) {
          putMarker(b.data(), layout_d::Marker, BareMarker);
          putU16(b.data(), layout_d::Checksum, 0);
          putU16(b.data(), layout_d::Checksum, InternetChecksum(b.data(), static_cast<int>(b.size())));
        }
        break;
    }
    return b;
  }
  // The answer's sequence number; nullopt for what is no answer (the load's own requests, which
  // a raw socket gets as well).
  std::optional<std::uint64_t> sequenceOf(const std::uint8_t* b, std::size_t n) const {
    switch (kind) {
      case Kind::Udp:
      case Kind::Tcp:
        if (n < SequenceOffset + 8 || !hasMarker(b, n, layout_a::Marker, ReplyMarker)) return std::nullopt;
        return readU64(b, SequenceOffset);
      case Kind::Raw:
        if (!hasMarker(b, n, IpHeaderSize + layout_a::Marker, ReplyMarker)) return std::nullopt;
        return readU64(b, IpHeaderSize + layout_a::Timestamp);
      case Kind::Icmp:
        if (!hasMarker(b, n, IpHeaderSize + layout_d::Marker, ReplyMarker)) return std::nullopt;
        return readU64(b, IpHeaderSize + layout_d::Timestamp);
    }
    return std::nullopt;
  }
};

// Keeps `window` requests in flight for `duration` over one datagram socket: the answers waiting
// are taken in one call and their successors sent in one call, so that the load costs little per
// answer. When nothing comes back for LossTimeout, those in flight are given up for lost.
Slice datagramLoad(const Wire& wire, int fd, const platform::Address& to, int window, std::chrono::seconds duration) {
  Slice r;
  std::vector<Clock::time_point> sentAt;
  std::vector<char> inFlight;
  std::vector<std::vector<std::uint8_t>> requests(static_cast<std::size_t>(window) * 2);
  platform::SendBatch sends(static_cast<std::size_t>(window) * 2);
  platform::ReceivedBatch answers(ReceiveBufferSize, 64);
  int flying = 0;
  const auto queue = [&] {
    const auto sequence = static_cast<std::uint64_t>(sentAt.size());
    if (sends.size() >= requests.size()) requests.resize(sends.size() * 2);
    auto& bytes = requests[sends.size()];
    bytes = wire.request(sequence);
    sends.add(bytes.data(), bytes.size(), to);
    sentAt.push_back(Clock::now());
    inFlight.push_back(1);
  };
  const auto sendQueued = [&] {
    if (sends.size() == 0) return;
    sends.send(fd);
    for (std::size_t i = 0; i < sends.size(); ++i) {
      if (sends.result(i)) {
        ++r.sent;
        ++flying;
      } else {
        inFlight[sentAt.size() - sends.size() + i] = 0;
      }
    }
    sends.clear();
  };
  const double cpu0 = threadCpuSeconds();
  const auto start = Clock::now(), end = start + duration;
  for (int i = 0; i < window; ++i) queue();
  sendQueued();
  auto lastAnswer = start;
  for (;;) {
    const auto now = Clock::now();
    const bool draining = now >= end;
    if (draining && (flying == 0 || now >= end + DrainTime)) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) {
      if (!draining && Clock::now() - lastAnswer > LossTimeout) {
        std::fill(inFlight.begin(), inFlight.end(), 0);
        flying = 0;
        for (int i = 0; i < window; ++i) queue();
        sendQueued();
        lastAnswer = Clock::now();
      }
      continue;
    }
    const std::size_t n = answers.receive(fd).value_or(0);
    const auto at = Clock::now();
    for (std::size_t i = 0; i < n; ++i) {
      const auto sequence = wire.sequenceOf(answers[i].bytes, answers[i].length);
      if (!sequence || *sequence >= sentAt.size()) continue;
      lastAnswer = at;
      if (!inFlight[*sequence] || draining || at >= end) {
        if (inFlight[*sequence]) --flying;
        inFlight[*sequence] = 0;
        ++r.answeredAfter;
        continue;
      }
      inFlight[*sequence] = 0;
      --flying;
      ++r.answered;
      r.latencyUs.push_back(std::chrono::duration<double, std::micro>(at - sentAt[*sequence]).count());
      queue();
    }
    sendQueued();
  }
  r.seconds = std::chrono::duration<double>(std::min(Clock::now(), end) - start).count();
  r.loadCpu = threadCpuSeconds() - cpu0;
  return r;
}

// `window` TCP connections with one request in flight each.
Slice tcpLoad(const Wire& wire, std::uint16_t port, int window, std::chrono::seconds duration) {
  Slice r;
  struct Connection {
    platform::Socket socket;
    std::size_t got = 0;
    Clock::time_point sentAt;
  };
  std::vector<Connection> connections(static_cast<std::size_t>(window));
  std::vector<pollfd> polls;
  for (auto& c : connections) {
    c.socket = platform::openSocket(platform::Family::IPv4, SOCK_STREAM, 0).value_or({});
    if (!platform::connectTo(c.socket.fd(), platform::Address::loopback(platform::Family::IPv4, port))) return r;
    const int on = 1;
    setsockopt(c.socket.fd(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    polls.push_back({c.socket.fd(), POLLIN, 0});
  }
  const auto request = wire.request(0);
  std::uint8_t buffer[ReceiveBufferSize];
  const double cpu0 = threadCpuSeconds();
  const auto start = Clock::now(), end = start + duration;
  const auto send = [&](Connection& c) {
    c.got = 0;
    c.sentAt = Clock::now();
    if (write(c.socket.fd(), request.data(), request.size()) == static_cast<ssize_t>(request.size())) ++r.sent;
  };
  for (auto& c : connections) send(c);
  std::size_t waiting = connections.size();
  while (waiting > 0 && Clock::now() < end + DrainTime) {
    if (poll(polls.data(), polls.size(), 20) <= 0) continue;
    for (std::size_t i = 0; i < polls.size(); ++i) {
      if (polls[i].revents == 0) continue;
      Connection& c = connections[i];
      const ssize_t n = read(c.socket.fd(), buffer, sizeof buffer);
      if (n <= 0) {
        polls[i].fd = -1;
        --waiting;
        continue;
      }
      c.got += static_cast<std::size_t>(n);
      if (c.got < request.size()) continue;
      const auto at = Clock::now();
      if (at < end) {
        ++r.answered;
        r.latencyUs.push_back(std::chrono::duration<double, std::micro>(at - c.sentAt).count());
        send(c);
      } else {
        ++r.answeredAfter;
        polls[i].fd = -1;
        --waiting;
      }
    }
  }
  r.seconds = std::chrono::duration<double>(std::min(Clock::now(), end) - start).count();
  r.loadCpu = threadCpuSeconds() - cpu0;
  return r;
}

// A UDP socket made in `network` (-1: this thread's own): it stays there once made.
platform::Socket udpSocketIn(int network) {
  const int home = network >= 0 ? open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC) : -1;
  if (network >= 0 && (home < 0 || setns(network, CLONE_NEWNET) != 0)) {
    if (home >= 0) close(home);
    return {};
  }
  platform::Socket s = platform::openSocket(platform::Family::IPv4, SOCK_DGRAM, 0).value_or({});
  if (home >= 0) {
    setns(home, CLONE_NEWNET);
    close(home);
  }
  return s;
}

// One slice of `kind` against the server or its bare loop, with the responder's CPU time; a UDP
// slice in `network` where the responder has a namespace of its own.
Slice runSlice(Kind kind, bool bare, pid_t responder, int window, const Options& options, int network = -1) {
  const Wire wire{kind, bare, options.size};
  const auto duration = std::chrono::seconds(options.seconds);
  const double cpu0 = cpuSecondsOf(responder);
  Slice r;
  switch (kind) {
    case Kind::Udp: {
      platform::Socket s = udpSocketIn(network);
      r = datagramLoad(wire, s.fd(), platform::Address::loopback(platform::Family::IPv4, bare ? BareUdpPort : EchoPort),
                       window, duration);
      break;
    }
    case Kind::Raw:
    case Kind::Icmp: {
      const int protocol = kind == Kind::Icmp ? IcmpProtocol : (bare ? BareRawProtocol : RawProtocol);
      platform::Socket s = platform::openSocket(platform::Family::IPv4, SOCK_RAW, protocol).value_or({});
      r = datagramLoad(wire, s.fd(), platform::Address::loopback(platform::Family::IPv4), window, duration);
      break;
    }
    case Kind::Tcp: r = tcpLoad(wire, bare ? BareTcpPort : EchoPort, window, duration); break;
  }
  r.responderCpu = cpuSecondsOf(responder) - cpu0;
  return r;
}

// ---------------------------------------------------------------------------------------------
// Rows, medians and the log file.

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const std::size_t m = v.size() / 2;
  return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
}

// One row: the rounds of the server and of its bare loop, slice beside slice.
struct Row {
  std::string name;
  Kind kind;
  Front front;
  int window;
  std::vector<Slice> server, bare;

  // The rounds in which the load did not set the pace, server and bare loop alike.
  std::vector<std::size_t> judged() const {
    std::vector<std::size_t> free;
    for (std::size_t i = 0; i < server.size(); ++i) {
      if (!server[i].loadBound() && !bare[i].loadBound()) free.push_back(i);
    }
    return free;
  }
  // The median of the rounds' ratios (of the judged rounds, or of all).
  double ratio(bool judgedOnly) const {
    std::vector<double> ratios;
    const auto use = [&](std::size_t i) {
      if (bare[i].rate() > 0) ratios.push_back(server[i].rate() / bare[i].rate());
    };
    if (judgedOnly) {
      for (const std::size_t i : judged()) use(i);
    } else {
      for (std::size_t i = 0; i < server.size(); ++i) use(i);
    }
    return median(ratios);
  }
  bool judgeable() const { return judged().size() * 2 > server.size(); }
  template <typename F>
  double med(const std::vector<Slice>& slices, F f) const {
    std::vector<double> v;
    for (const Slice& s : slices) v.push_back(f(s));
    return median(v);
  }
  long answers() const {
    long n = 0;
    for (const Slice& s : server) n += s.answered + s.answeredAfter;
    return n;
  }
};

void printRow(const Row& row) {
  std::vector<double> latency;
  long lost = 0;
  for (const Slice& s : row.server) {
    latency.insert(latency.end(), s.latencyUs.begin(), s.latencyUs.end());
    lost += s.lost();
  }
  const auto rate = [](const Slice& s) { return s.rate(); };
  const auto cpu = [](const Slice& s) { return s.cpuUsPerAnswer(); };
  const auto load = [](const Slice& s) { return s.loadShare() * 100; };
  std::printf("%-38s %9.0f %9.0f %6.2f %7.1f %7.1f %5.0f%% %5.0f%% %6.1f %7.1f %5ld %3zu/%zu\n", row.name.c_str(),
              row.med(row.server, rate), row.med(row.bare, rate), row.ratio(false), row.med(row.server, cpu),
              row.med(row.bare, cpu), row.med(row.server, load), row.med(row.bare, load), percentile(latency, 0.5),
              percentile(latency, 0.99), lost, row.judged().size(), row.server.size());
}

// The log file's lines: those of the answers measured, and any line that is not one of the
// server's whole lines (a torn or glued line would be one).
struct FileCheck {
  long answerLines = 0;
  long torn = 0;
};

FileCheck checkLogFile(const std::string& path, const std::vector<std::string>& answerLines) {
  std::ifstream in(path, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::set<std::string> known;
  for (const auto& l : answerLines) known.insert(toWindows1251(l));
  const std::string start = toWindows1251("Старт сервера, протокол ");
  const std::string closed = toWindows1251(server::messages::ClientClosed);  // the TCP load's ends
  FileCheck check;
  std::size_t from = 0;
  for (std::size_t end; (end = text.find("\n\r", from)) != std::string::npos; from = end + 2) {
    const std::string line = text.substr(from, end - from);
    if (known.count(line)) {
      ++check.answerLines;
    } else if (line.rfind(start, 0) != 0 && line != closed) {
      ++check.torn;
    }
  }
  if (from < text.size()) ++check.torn;
  return check;
}

// The lines the answers of each kind leave, as the server formats them.
std::vector<std::string> answerLinesOf(const Options& o) {
  namespace m = server::messages;
  const std::size_t echo = std::max(o.size, SequenceOffset + 8);
  const std::size_t raw = IpHeaderSize + std::max(o.size, layout_a::MinLength);
  return {m::receivedPacketLine("127.0.0.1", m::packetTail(m::UdpEchoLabel, echo)),
          m::receivedPacketLine("127.0.0.1", m::packetTail(m::TcpEchoLabel, echo)),
          m::receivedPacketLine("127.0.0.1", m::numberedPacketTail(RawProtocol, raw)),
          m::receivedPacketLine("127.0.0.1", m::numberedPacketTail(IcmpProtocol, IpHeaderSize + layout_d::Length)),
          m::bytesSent(static_cast<ssize_t>(echo)),
          m::bytesSent(static_cast<ssize_t>(layout_a::MinLength)),
          m::bytesSent(static_cast<ssize_t>(layout_d::Length)),
          m::WaitingForRequest};
}

// What one request's three lines cost the thread that answers, made as the UDP echo makes them and
// logged with the terminal's view printing to a file.
double logLineCostUs() {
  constexpr int Answers = 100000;
  char pattern[] = "/tmp/bench-log-line-XXXXXX";
  if (!mkdtemp(pattern)) return 0;
  const std::string folder = pattern;
  std::FILE* printed = std::fopen((folder + "/printed.txt").c_str(), "w");
  double us = 0;
  if (printed) {
    ConsoleView view(printed);
    ActivityLog log = ActivityLog::atPath(LogStyle::Server, folder + "/server_log.txt");
    log.setView(&view);
    LogLine line;
    std::chrono::duration<double, std::micro> spent{0};
    constexpr int Burst = 500;  // as a busy service logs, with room for the view and the writer
    for (int done = 0; done < Answers; done += Burst) {
      const auto t0 = Clock::now();
      for (int i = 0; i < Burst; ++i) {
        server::lines::receivedPacket(line, "127.0.0.1", server::lines::labelled(server::lines::udpEchoLabel(), 32));
        log.log(line);
        server::lines::bytesSent(line, 32);
        log.log(line);
        log.log(line.clear() << server::lines::waitingForRequest());
      }
      spent += Clock::now() - t0;
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    us = spent.count() / (Answers * LinesPerAnswer);
  }
  if (printed) std::fclose(printed);
  std::error_code ignored;
  fs::remove_all(folder, ignored);
  return us;
}

std::optional<Options> parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool more = i + 1 < argc;
    if (a == "--seconds" && more) {
      o.seconds = std::atoi(argv[++i]);
    } else if (a == "--rounds" && more) {
      o.rounds = std::atoi(argv[++i]);
    } else if (a == "--size" && more) {
      o.size = static_cast<std::size_t>(std::atoi(argv[++i]));
    } else if (a == "--server" && more) {
      o.server = argv[++i];
    } else if (a == "--no-window") {
      o.window = false;
    } else if (a == "--only" && more) {
      o.kinds.clear();
      std::stringstream list(argv[++i]);
      for (std::string k; std::getline(list, k, ',');) {
        if (k != "udp" && k != "raw" && k != "icmp" && k != "tcp") return std::nullopt;
        o.kinds.insert(k);
      }
    } else {
      return std::nullopt;
    }
  }
  if (o.seconds < 1 || o.seconds > 60 || o.rounds < 1 || o.rounds > 21 || o.size < 28 || o.size > 1400 || o.kinds.empty()) {
    return std::nullopt;
  }
  return o;
}

void writeProc(const char* path, const char* value) {
  std::ofstream out(path);
  out << value;
}

std::string loadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

}  // namespace

int main(int argc, char** argv) {
  const auto options = parse(argc, argv);
  if (!options) {
    std::fprintf(stderr,
                 "Usage: bench_server [--seconds 1..60] [--rounds 1..21] [--size 28..1400] [--no-window]\n"
                 "                    [--only udp,raw,icmp,tcp] [--server PATH]\n");
    return 2;
  }
  std::string why;
  if (!connchk::testing::enterPrivateNetwork(why)) {
    std::fprintf(stderr, "bench: no private network namespace: %s\n", why.c_str());
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  // Only the responders answer ICMP echo requests here, not the kernel.
  writeProc("/proc/sys/net/ipv4/icmp_echo_ignore_all", "1");
  BareLoops bare;
  if (!startBareLoops(bare, why)) {
    std::fprintf(stderr, "bench: %s\n", why.c_str());
    return 2;
  }
  const std::string loadBefore = loadAverage();

  // Both fronts run at once, the window in a network namespace of its own, so that each round
  // measures the window's UDP echo right after terminal mode's.
  struct FrontRun {
    Front front;
    ServerProcess server;
    FileCheck file;
    long answers = 0;
    int exit = -1;
  };
  std::vector<FrontRun> fronts;
  fronts.push_back({Front::Terminal, {}, {}, 0, -1});
  if (options->window && options->kinds.count("udp")) fronts.push_back({Front::Offscreen, {}, {}, 0, -1});
  for (FrontRun& f : fronts) {
    if (!startServer(options->server, f.front, f.server, why) || !waitUntilServing(f.server)) {
      std::fprintf(stderr, "bench: %s: the server did not start %s\n", frontName(f.front), why.c_str());
      for (FrontRun& started : fronts) {
        stopServer(started.server);
        removeServerFolder(started.server);
      }
      return 2;
    }
    if (f.front == Front::Offscreen) {
      f.server.network = open(("/proc/" + std::to_string(f.server.pid) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
    }
  }
  const auto frontRun = [&](Front front) -> FrontRun* {
    for (FrontRun& f : fronts) {
      if (f.front == front) return &f;
    }
    return nullptr;
  };

  // The rows in the order of their slices: the UDP rows of both fronts side by side.
  std::vector<Row> rows;
  const auto add = [&](Kind kind, Front front, int window, const char* what) {
    if (!options->kinds.count(what) || !frontRun(front)) return;
    rows.push_back(Row{format("%s, %s, %d in flight", kindName(kind), frontName(front), window), kind, front, window, {}, {}});
  };
  for (const int window : {1, 8}) {
    add(Kind::Udp, Front::Terminal, window, "udp");
    add(Kind::Udp, Front::Offscreen, window, "udp");
  }
  add(Kind::Raw, Front::Terminal, 8, "raw");
  add(Kind::Icmp, Front::Terminal, 8, "icmp");
  add(Kind::Tcp, Front::Terminal, 1, "tcp");
  add(Kind::Tcp, Front::Terminal, 8, "tcp");
  if (rows.empty()) return 2;
  const auto bareOf = [&](Kind kind) {
    switch (kind) {
      case Kind::Udp: return bare.udp;
      case Kind::Raw: return bare.raw;
      case Kind::Icmp: return bare.icmp;
      case Kind::Tcp: return bare.tcp;
    }
    return pid_t{-1};
  };
  for (int round = 0; round < options->rounds; ++round) {
    for (Row& row : rows) {
      const ServerProcess& server = frontRun(row.front)->server;
      row.bare.push_back(runSlice(row.kind, true, bareOf(row.kind), row.window, *options));
      row.server.push_back(runSlice(row.kind, false, server.pid, row.window, *options, server.network));
    }
  }
  for (const Row& row : rows) frontRun(row.front)->answers += row.answers();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // the TCP echo's last requests end
  for (FrontRun& f : fronts) {
    const int status = stopServer(f.server);
    f.exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    f.file = checkLogFile(f.server.logPath(), answerLinesOf(*options));
    removeServerFolder(f.server);
  }
  std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) { return a.front < b.front; });

  std::printf("The server's responders over loopback in a private network namespace, every line logged\n"
              "(--log-rate 0); %zu-byte requests (raw: payload), %d rounds of %d s slices; each server slice\n"
              "right after the same slice of its bare loop. Medians of the rounds. Load average %s before,\n"
              "%s after.\n\n",
              options->size, options->rounds, options->seconds, loadBefore.c_str(), loadAverage().c_str());
  std::printf("%-38s %9s %9s %6s %15s %13s %14s %5s %7s\n", "", "server/s", "bare/s", "ratio", "CPU us/answer",
              "load CPU", "latency us", "lost", "judged");
  std::printf("%-38s %9s %9s %6s %7s %7s %6s %6s %6s %7s\n", "", "", "", "", "server", "bare", "server", "bare", "p50",
              "p99");
  for (const Row& row : rows) printRow(row);

  std::printf("\n%-22s %21s %6s %6s %5s\n", "log file", "answer lines / 3x", "lost", "torn", "exit");
  bool linesWhole = true;
  for (const FrontRun& l : fronts) {
    const long expected = LinesPerAnswer * l.answers;
    const long lost = std::max(0L, expected - l.file.answerLines);
    linesWhole = linesWhole && lost == 0 && l.file.torn == 0 && l.exit == 0;
    std::printf("%-22s %10ld/%-10ld %6ld %6ld %5d\n", frontName(l.front), l.file.answerLines, expected, lost,
                l.file.torn, l.exit);
  }

  // Goals: met, missed, or not judged where the load set the pace in most rounds.
  bool allMet = linesWhole;
  const auto judge = [&](const std::string& what, double value, double goal, bool judgeable) {
    const char* verdict = !judgeable ? "not judged: the load was the limit" : value >= goal ? "met" : "MISSED";
    if (!judgeable || value < goal) allMet = false;
    std::printf("%-58s %5.2f (goal %.2f or more): %s\n", what.c_str(), value, goal, verdict);
  };
  const auto find = [&](Kind kind, Front front, int window) -> const Row* {
    for (const Row& r : rows) {
      if (r.kind == kind && r.front == front && r.window == window) return &r;
    }
    return nullptr;
  };
  std::printf("\n");
  if (const Row* r = find(Kind::Udp, Front::Terminal, 1)) judge("UDP echo, terminal, 1 in flight, of the bare loop", r->ratio(true), 0.90, r->judgeable());
  const Row* t8 = find(Kind::Udp, Front::Terminal, 8);
  if (t8) judge("UDP echo, terminal, 8 in flight, of the bare loop", t8->ratio(true), 1.00, t8->judgeable());
  if (const Row* w8 = find(Kind::Udp, Front::Offscreen, 8); w8 && t8) {
    // Answers a second of the window against terminal mode's, slice beside slice in each round.
    std::vector<double> ratios;
    for (std::size_t i = 0; i < w8->server.size(); ++i) {
      const Slice &w = w8->server[i], &t = t8->server[i];
      if (!w.loadBound() && !t.loadBound() && t.rate() > 0) ratios.push_back(w.rate() / t.rate());
    }
    judge("UDP echo, window (offscreen), 8 in flight, of terminal", median(ratios), 0.90,
          ratios.size() * 2 > w8->server.size());
  }
  for (const Row& r : rows) {
    if (r.kind == Kind::Udp) continue;
    const std::string name = r.name + ", of its bare loop";
    if (r.judged().empty()) {
      // Every round was limited by the load, not the server: no figure tells the server's pace.
      std::printf("%-58s  -    (no goal; every round load-bound)\n", name.c_str());
    } else {
      std::printf("%-58s %5.2f (no goal; %zu of %zu rounds not load-bound)\n", name.c_str(), r.ratio(true),
                  r.judged().size(), r.server.size());
    }
  }
  std::printf("log lines lost or torn, and a clean end on SIGTERM: %s\n", linesWhole ? "met" : "MISSED");
  const double lineUs = logLineCostUs();
  const bool cheap = lineUs <= 0.5;
  if (!cheap) allMet = false;
  std::printf("one request line costs the thread that answers %.3f us (goal 0.5 or less): %s\n", lineUs,
              cheap ? "met" : "MISSED");
  return allMet ? 0 : 1;
}
