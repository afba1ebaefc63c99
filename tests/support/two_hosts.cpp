#include "tests/support/two_hosts.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/support/program.h"

namespace connchk::testing {
namespace {

constexpr const char* NamePrefix = "chk-";
std::atomic<int> bedsMade{0};

// What ip netns exec binds over /etc for a namespace.
std::filesystem::path hostsFolder(const std::string& name) { return std::filesystem::path("/etc/netns") / name; }

// A namespace of ours is named chk-<role>-<pid>-<n>; the pid tells whether its maker still runs.
void removeLeftOverBeds() {
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator("/run/netns", ignored)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(NamePrefix, 0) != 0) continue;
    const auto first = name.find('-', 4);
    if (first == std::string::npos) continue;
    const pid_t maker = static_cast<pid_t>(std::atoi(name.c_str() + first + 1));
    if (maker > 0 && kill(maker, 0) != 0 && errno == ESRCH) {
      runQuietly({"ip", "netns", "del", name});
      std::filesystem::remove_all(hostsFolder(name), ignored);
    }
  }
}

int openNamespace(const std::string& path) { return open(path.c_str(), O_RDONLY | O_CLOEXEC); }

}  // namespace

std::string newBedName(const std::string& role) {
  removeLeftOverBeds();
  return std::string(NamePrefix) + role + "-" + std::to_string(getpid()) + "-" + std::to_string(bedsMade++);
}

void removeBed(const std::string& name) {
  // Deleting a namespace also removes its ends of the veth pairs, and with them the other ends.
  runQuietly({"ip", "netns", "del", name});
  std::error_code ignored;
  std::filesystem::remove_all(hostsFolder(name), ignored);
}

void inNetworkNamespace(const std::string& name, const std::function<void()>& action) {
  const int home = openNamespace("/proc/thread-self/ns/net");
  const int there = openNamespace("/run/netns/" + name);
  const bool entered = home >= 0 && there >= 0 && setns(there, CLONE_NEWNET) == 0;
  if (there >= 0) close(there);
  if (!entered) {
    if (home >= 0) close(home);
    ADD_FAILURE() << "cannot enter host " << name << ": " << std::strerror(errno);
    return;
  }
  struct Return {
    int home;
    ~Return() {
      setns(home, CLONE_NEWNET);
      close(home);
    }
  } back{home};
  action();
}

bool runQuietly(const std::vector<std::string>& command) {
  std::vector<char*> argv;
  std::vector<std::string> copies(command);
  for (auto& a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int devNull = open("/dev/null", O_RDWR);
    dup2(devNull, 0);
    dup2(devNull, 1);
    dup2(devNull, 2);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  if (pid < 0) return false;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TwoHosts::TwoHosts() {
  server_ = newBedName("srv");
  client_ = newBedName("cli");
  const std::string s = server_, c = client_;
  const std::vector<std::vector<std::string>> steps = {
      {"ip", "netns", "add", s},
      {"ip", "netns", "add", c},
      {"ip", "-n", s, "link", "add", "veth0", "type", "veth", "peer", "name", "veth0", "netns", c},
      {"ip", "-n", s, "addr", "add", std::string(ServerAddress) + "/24", "dev", "veth0"},
      {"ip", "-n", c, "addr", "add", std::string(ClientAddress) + "/24", "dev", "veth0"},
      {"ip", "-n", s, "addr", "add", std::string(ServerAddress6) + "/64", "dev", "veth0", "nodad"},
      {"ip", "-n", c, "addr", "add", std::string(ClientAddress6) + "/64", "dev", "veth0", "nodad"},
      {"ip", "-n", s, "link", "set", "lo", "up"},
      {"ip", "-n", c, "link", "set", "lo", "up"},
      {"ip", "-n", s, "link", "set", "veth0", "up"},
      {"ip", "-n", c, "link", "set", "veth0", "up"},
  };
  for (const auto& step : steps) {
    if (!runQuietly(step)) {
      std::string text;
      for (const auto& word : step) text += (text.empty() ? "" : " ") + word;
      problem_ = "'" + text + "' failed (needs root and iproute2)";
      return;
    }
  }
  ready_ = true;
}

TwoHosts::~TwoHosts() {
  removeBed(server_);
  removeBed(client_);
}

void TwoHosts::inHost(Host host, const std::function<void()>& action) const { inNetworkNamespace(name(host), action); }

bool TwoHosts::addAddress(Host host, const std::string& address) {
  if (address.find(':') != std::string::npos) {
    return runQuietly({"ip", "-n", name(host), "addr", "add", address + "/64", "dev", "veth0", "nodad"});
  }
  return runQuietly({"ip", "-n", name(host), "addr", "add", address + "/24", "dev", "veth0"});
}

bool TwoHosts::setHostsFile(Host host, const std::vector<std::string>& lines) {
  std::error_code failed;
  std::filesystem::create_directories(hostsFolder(name(host)), failed);
  // Names come from this file alone: no name server is asked, so a missing name fails at once.
  std::ofstream switches(hostsFolder(name(host)) / "nsswitch.conf");
  switches << "hosts: files\n";
  std::ofstream hosts(hostsFolder(name(host)) / "hosts");
  hosts << "127.0.0.1 localhost\n::1 localhost\n";
  for (const auto& line : lines) hosts << line << "\n";
  return !failed && switches.flush().good() && hosts.flush().good();
}

std::vector<std::string> TwoHosts::launcherIn(Host host) const { return {"ip", "netns", "exec", name(host)}; }

platform::Address literal(const std::string& text, std::uint16_t port) {
  const auto address = platform::Address::parse(text, port);
  if (!address) ADD_FAILURE() << "not an address literal: " << text;
  return address.value_or(platform::Address{});
}

bool portBound(const char* table, std::uint16_t port, const char* state) {
  char wanted[8];
  std::snprintf(wanted, sizeof wanted, ":%04X", port);
  // A socket of either family: the server's serve IPv4 too from the IPv6 table.
  for (const std::string& name : {std::string(table), std::string(table) + "6"}) {
    std::ifstream in("/proc/thread-self/net/" + name);
    std::string line;
    std::getline(in, line);  // the heading
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, st;
      fields >> slot >> local >> remote >> st;
      if (local.size() >= 5 && local.compare(local.size() - 5, 5, wanted) == 0 && (!state || st == state)) return true;
    }
  }
  return false;
}

bool waitForUdpPort(std::uint16_t port, int limitMs) {
  return eventually([=] { return portBound("udp", port, nullptr); }, milliseconds(limitMs));
}

bool waitForTcpListener(std::uint16_t port, int limitMs) {
  return eventually([=] { return portBound("tcp", port, "0A"); }, milliseconds(limitMs));
}

}  // namespace connchk::testing
