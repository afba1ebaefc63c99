// The client's round trips against the system's ping over one path: two network namespaces joined
// by a veth pair, the real server on one side, the client and ping on the other. Runs of the
// client (UDP echo, ICMP, raw IP 53) and of ping take turns, several times, so that whatever else
// runs on the machine weighs on all alike; a row shows the median of all its rounds.
//
// Beside each tool's figure stands the wire time of the same exchanges: a packet socket on the
// client's end of the veth sees each request leave and its answer come in, stamped by the kernel.
// A tool's time over the wire is what its own measurement adds (the send system call, and the
// wake-up after the answer where the receive is not stamped). ICMP goes to the server host's
// kernel for both tools, so their medians compare directly; the UDP echo and raw IP are answered by
// the server program, whose time ping does not see, so they compare by their time over the wire.
//
// Root is needed (namespaces, raw and packet sockets). Everything made is removed at the end.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/activity_log.h"
#include "common/cp1251.h"
#include "common/platform/receive_time.h"
#include "common/platform/sockets.h"

namespace fs = std::filesystem;
using namespace connchk;

namespace {

constexpr const char* ServerAddress = "192.0.2.1";
constexpr const char* ClientAddress = "192.0.2.2";
constexpr double GoalUs = 25;

struct Options {
  int runs = 5;    // turns of every tool
  int count = 20;  // rounds of one run
  int size = 64;   // the request (UDP, raw: payload; ICMP: the message, ping -s size - 8)
  std::string client = CLIENT_PROGRAM;
  std::string server = SERVER_PROGRAM;
  std::set<std::string> kinds = {"udp", "icmp", "raw"};
};

// ---------------------------------------------------------------------------------------------
// Programs.

// Runs `argv` (searched on PATH) and gives back its standard output, or nullopt when it could not
// be started or did not exit with 0.
std::optional<std::string> output(const std::vector<std::string>& argv) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return std::nullopt;
  const pid_t pid = fork();
  if (pid == 0) {
    const int devNull = open("/dev/null", O_RDWR);
    dup2(devNull, 0);
    dup2(pipeFds[1], 1);
    dup2(devNull, 2);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(pipeFds[1]);
  std::string text;
  char chunk[4096];
  for (ssize_t n; (n = read(pipeFds[0], chunk, sizeof chunk)) > 0 || (n < 0 && errno == EINTR);) {
    if (n > 0) text.append(chunk, static_cast<std::size_t>(n));
  }
  close(pipeFds[0]);
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return std::nullopt;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return text;
}

bool run(const std::vector<std::string>& argv) { return output(argv).has_value(); }

std::string loadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

// ---------------------------------------------------------------------------------------------
// The path: two namespaces, named as the test beds are (chk-<role>-<pid>-<n>), so that a bed left
// behind by a killed benchmark is removed by the next test run.

struct Path {
  std::string server = "chk-rtsrv-" + std::to_string(getpid()) + "-0";
  std::string client = "chk-rtcli-" + std::to_string(getpid()) + "-1";
  bool ready = false;

  Path() {
    const std::vector<std::vector<std::string>> steps = {
        {"ip", "netns", "add", server},
        {"ip", "netns", "add", client},
        {"ip", "-n", server, "link", "add", "veth0", "type", "veth", "peer", "name", "veth0", "netns", client},
        {"ip", "-n", server, "addr", "add", std::string(ServerAddress) + "/24", "dev", "veth0"},
        {"ip", "-n", client, "addr", "add", std::string(ClientAddress) + "/24", "dev", "veth0"},
        {"ip", "-n", server, "link", "set", "lo", "up"},
        {"ip", "-n", client, "link", "set", "lo", "up"},
        {"ip", "-n", server, "link", "set", "veth0", "up"},
        {"ip", "-n", client, "link", "set", "veth0", "up"},
    };
    for (const auto& step : steps) {
      if (!run(step)) return;
    }
    ready = true;
  }
  ~Path() {
    run({"ip", "netns", "del", server});
    run({"ip", "netns", "del", client});
  }
  std::vector<std::string> in(const std::string& host, std::vector<std::string> command) const {
    command.insert(command.begin(), {"ip", "netns", "exec", host});
    return command;
  }
};

// ---------------------------------------------------------------------------------------------
// The wire: what leaves and comes in on the client's end of the veth, kernel-stamped.

class WireWatch {
 public:
  explicit WireWatch(const std::string& clientHost) {
    const int there = open(("/run/netns/" + clientHost).c_str(), O_RDONLY | O_CLOEXEC);
    thread_ = std::thread([this, there] { watch(there); });
  }
  ~WireWatch() {
    stop_ = true;
    thread_.join();
  }
  bool ready() {
    for (int i = 0; i < 200 && !started_; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return started_ && fd_ >= 0;
  }
  // The wire round trips (us) of the exchanges answered since the last call; forgets the rest.
  std::vector<double> take() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<double> taken;
    taken.swap(done_);
    leftFor_.clear();
    return taken;
  }

 private:
  // One thread in the client's namespace, for the packet socket to be opened there.
  void watch(int there) {
    if (there >= 0 && setns(there, CLONE_NEWNET) == 0) fd_ = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_ALL));
    if (there >= 0) close(there);
    if (fd_ >= 0) {
      platform::askForReceiveStamps(fd_);
      sockaddr_ll on{};
      on.sll_family = AF_PACKET;
      on.sll_protocol = htons(ETH_P_ALL);  // ETH_P_IP alone would not see what leaves
      on.sll_ifindex = static_cast<int>(if_nametoindex("veth0"));
      if (bind(fd_, reinterpret_cast<sockaddr*>(&on), sizeof on) != 0) {
        close(fd_);
        fd_ = -1;
      }
    }
    started_ = true;
    if (fd_ < 0) return;
    std::uint8_t packet[2048];
    alignas(cmsghdr) std::uint8_t control[256];
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      sockaddr_ll from{};
      iovec part{packet, sizeof packet};
      msghdr message = platform::messageOf(&from, sizeof from, &part, 1, control, sizeof control);
      const ssize_t n = recvmsg(fd_, &message, MSG_DONTWAIT);
      const auto stamp = n > 0 ? platform::readReceiveStamp(message) : std::nullopt;
      if (stamp && from.sll_protocol == htons(ETH_P_IP)) seen(packet, static_cast<std::size_t>(n), from.sll_pkttype == PACKET_OUTGOING, *stamp);
    }
    close(fd_);
  }

  // A request leaving or an answer coming in, keyed by what the answer carries back of its
  // request: the UDP echo's and raw IP's send time, the ICMP echo's identifier, sequence and the
  // first data bytes.
  void seen(const std::uint8_t* p, std::size_t n, bool out, std::int64_t stampNs) {
    if (n < 20 || (p[0] >> 4) != 4) return;
    const std::size_t ip = static_cast<std::size_t>(p[0] & 0x0F) * 4;
    const std::uint8_t protocol = p[9];
    std::string key;
    bool request = false, answer = false;
    if (protocol == 17 && n >= ip + 16) {
      const int source = p[ip] << 8 | p[ip + 1], destination = p[ip + 2] << 8 | p[ip + 3];
      request = out && destination == 87;
      answer = !out && source == 87;
      key.assign(reinterpret_cast<const char*>(p + ip + 8), 8);
    } else if (protocol == 1 && n >= ip + 16) {
      request = out && p[ip] == 8;
      answer = !out && p[ip] == 0;
      key.assign(reinterpret_cast<const char*>(p + ip + 4), 12);
    } else if (protocol == 53 && n >= ip + 8) {
      request = out;
      answer = !out;
      key.assign(reinterpret_cast<const char*>(p + ip), 8);
    }
    if (!request && !answer) return;
    key.insert(key.begin(), static_cast<char>(protocol));
    std::lock_guard<std::mutex> lock(mutex_);
    if (request) {
      leftFor_[key] = stampNs;
    } else if (const auto it = leftFor_.find(key); it != leftFor_.end()) {
      done_.push_back(static_cast<double>(stampNs - it->second) / 1000.0);
      leftFor_.erase(it);  // a duplicate answer is no exchange of its own
    }
  }

  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> started_{false};
  int fd_ = -1;
  std::mutex mutex_;
  std::map<std::string, std::int64_t> leftFor_;
  std::vector<double> done_;
};

// ---------------------------------------------------------------------------------------------
// The tools.

enum class Tool { ClientUdp, ClientIcmp, ClientRaw, Ping };

struct Row {
  Tool tool;
  const char* name;
  std::vector<double> us;    // every answered round
  std::vector<double> wire;  // the same exchanges on the wire
  int runsFailed = 0;
};

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const std::size_t m = v.size() / 2;
  return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

double percentile(std::vector<double> v, double share) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[static_cast<std::size_t>(share * static_cast<double>(v.size() - 1))];
}

// The round trips (us) of the answered rounds of one run, from the client's JSON or ping's lines.
std::optional<std::vector<double>> runOnce(const Path& path, const Options& o, Tool tool, const std::string& logDir) {
  const std::string count = std::to_string(o.count);
  if (tool == Tool::Ping) {
    const auto text = output(path.in(path.client, {"ping", "-n", "-c", count, "-i", "0.2", "-W", "1", "-s",
                                                   std::to_string(o.size - 8), ServerAddress}));
    if (!text) return std::nullopt;
    std::vector<double> us;
    static const std::regex time(R"(time=([0-9.]+) ms)");
    for (auto it = std::sregex_iterator(text->begin(), text->end(), time); it != std::sregex_iterator(); ++it) {
      us.push_back(std::atof((*it)[1].str().c_str()) * 1000.0);
    }
    return us;
  }
  const char* type = tool == Tool::ClientUdp ? "udp" : tool == Tool::ClientIcmp ? "icmp" : "53";
  const auto text = output(path.in(path.client, {o.client, "--console", "--json", "-c", count, "-i", "0.2", "-W", "1",
                                                 "-s", std::to_string(o.size), "-p", type, "--log-dir", logDir,
                                                 ServerAddress}));
  if (!text) return std::nullopt;
  const auto report = nlohmann::json::parse(*text, nullptr, false);
  if (report.is_discarded() || !report.contains("rounds")) return std::nullopt;
  std::vector<double> us;
  for (const auto& round : report["rounds"]) {
    if (round.contains("rtt_us") && round["rtt_us"].is_number()) us.push_back(round["rtt_us"].get<double>());
  }
  return us;
}

// The server, started in its namespace with its log in `folder`; serving once its log names every
// one of its services.
pid_t startServer(const Path& path, const Options& o, const std::string& folder) {
  const pid_t pid = fork();
  if (pid == 0) {
    const int devNull = open("/dev/null", O_RDWR);
    dup2(devNull, 0);
    dup2(devNull, 1);
    dup2(devNull, 2);
    const auto argv = path.in(path.server, {o.server, "--console", "--log-dir", folder});
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  const std::string started = toWindows1251("Старт сервера, протокол");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (pid > 0 && std::chrono::steady_clock::now() < deadline) {
    std::ifstream in(folder + "/" + ServerLogFileName, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::size_t count = 0;
    for (std::size_t at = 0; (at = text.find(started, at)) != std::string::npos; at += started.size()) ++count;
    if (count >= 15) return pid;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (pid > 0) {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
  }
  return -1;
}

std::optional<Options> parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool more = i + 1 < argc;
    if (a == "--runs" && more) {
      o.runs = std::atoi(argv[++i]);
    } else if (a == "--count" && more) {
      o.count = std::atoi(argv[++i]);
    } else if (a == "--size" && more) {
      o.size = std::atoi(argv[++i]);
    } else if (a == "--client" && more) {
      o.client = argv[++i];
    } else if (a == "--server" && more) {
      o.server = argv[++i];
    } else if (a == "--only" && more) {
      o.kinds.clear();
      std::string list = argv[++i];
      for (std::size_t at = 0; at <= list.size();) {
        const std::size_t comma = std::min(list.find(',', at), list.size());
        o.kinds.insert(list.substr(at, comma - at));
        at = comma + 1;
      }
    } else {
      return std::nullopt;
    }
  }
  const bool kindsKnown = std::all_of(o.kinds.begin(), o.kinds.end(),
                                      [](const std::string& k) { return k == "udp" || k == "icmp" || k == "raw"; });
  if (o.runs < 1 || o.runs > 50 || o.count < 1 || o.count > 500 || o.size < 36 || o.size > 1400 || !kindsKnown) {
    return std::nullopt;
  }
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  const auto options = parse(argc, argv);
  if (!options) {
    std::fprintf(stderr,
                 "Usage: bench_round_trip [--runs 1..50] [--count 1..500] [--size 36..1400] [--only udp,icmp,raw]\n"
                 "                        [--client PATH] [--server PATH]\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  if (!run({"ping", "-V"})) {
    std::fprintf(stderr, "bench: no ping on PATH (Debian: iputils-ping)\n");
    return 2;
  }
  Path path;
  if (!path.ready) {
    std::fprintf(stderr, "bench: cannot make the two namespaces (needs root and iproute2)\n");
    return 2;
  }
  char pattern[] = "/tmp/bench-round-trip-XXXXXX";
  if (!mkdtemp(pattern)) return 2;
  const std::string folder = pattern;
  struct RemoveFolder {
    std::string folder;
    ~RemoveFolder() {
      std::error_code ignored;
      fs::remove_all(folder, ignored);
    }
  } removeFolder{folder};

  const pid_t server = startServer(path, *options, folder);
  if (server < 0) {
    std::fprintf(stderr, "bench: the server did not start\n");
    return 2;
  }
  WireWatch wire(path.client);
  if (!wire.ready()) std::fprintf(stderr, "bench: no packet socket on the client's veth: no wire times\n");
  // The neighbours found before the first measured round.
  run(path.in(path.client, {"ping", "-n", "-c", "2", "-i", "0.2", ServerAddress}));

  std::vector<Row> rows;
  if (options->kinds.count("udp")) rows.push_back({Tool::ClientUdp, "client UDP echo", {}, {}, 0});
  if (options->kinds.count("icmp")) rows.push_back({Tool::ClientIcmp, "client ICMP", {}, {}, 0});
  if (options->kinds.count("raw")) rows.push_back({Tool::ClientRaw, "client raw IP 53", {}, {}, 0});
  rows.push_back({Tool::Ping, "ping (ICMP)", {}, {}, 0});

  const std::string loadBefore = loadAverage();
  for (int turn = 0; turn < options->runs; ++turn) {
    for (Row& row : rows) {
      wire.take();
      const auto us = runOnce(path, *options, row.tool, folder);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the last answers seen on the wire
      const auto seen = wire.take();
      if (!us) {
        ++row.runsFailed;
        continue;
      }
      row.us.insert(row.us.end(), us->begin(), us->end());
      row.wire.insert(row.wire.end(), seen.begin(), seen.end());
    }
  }
  const std::string loadAfter = loadAverage();
  kill(server, SIGTERM);
  waitpid(server, nullptr, 0);

  std::printf("Round trips over a veth path between two network namespaces (client %s, server %s), %d runs of\n"
              "%d rounds per tool taken in turn, 0.2 s apart, %d-byte requests. %ld processors; load average\n"
              "%s before, %s after. Microseconds; wire: the same exchanges as the client's end of the veth\n"
              "saw them (kernel stamps).\n\n",
              ClientAddress, ServerAddress, options->runs, options->count, options->size, sysconf(_SC_NPROCESSORS_ONLN),
              loadBefore.c_str(), loadAfter.c_str());
  std::printf("%-20s %6s %8s %8s %8s %8s %10s\n", "", "rounds", "median", "p10", "p90", "wire", "over wire");
  for (const Row& r : rows) {
    const double m = median(r.us), w = median(r.wire);
    std::printf("%-20s %6zu %8.1f %8.1f %8.1f %8.1f %10.1f", r.name, r.us.size(), m, percentile(r.us, 0.1),
                percentile(r.us, 0.9), w, m - w);
    if (r.runsFailed > 0) std::printf("  (%d runs failed)", r.runsFailed);
    std::printf("\n");
  }

  const Row& ping = rows.back();
  bool allMet = ping.runsFailed == 0 && !ping.us.empty();
  std::printf("\n");
  for (const Row& r : rows) {
    if (r.tool == Tool::Ping) continue;
    // ICMP: the same responder, so the medians themselves; the others by their time over the wire.
    const bool direct = r.tool == Tool::ClientIcmp;
    if (!direct && (r.wire.empty() || ping.wire.empty())) {
      std::printf("%-20s no wire times: not judged\n", r.name);
      allMet = false;
      continue;
    }
    const double difference = direct ? median(r.us) - median(ping.us)
                                     : (median(r.us) - median(r.wire)) - (median(ping.us) - median(ping.wire));
    const bool met = !r.us.empty() && r.runsFailed == 0 && std::abs(difference) <= GoalUs;
    allMet = allMet && met;
    std::printf("%-20s %+7.1f us %s ping (goal within %.0f us): %s\n", r.name, difference,
                direct ? "against" : "over the wire against", GoalUs, met ? "met" : "MISSED");
  }
  return allMet ? 0 : 1;
}
