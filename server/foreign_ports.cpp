#include "server/foreign_ports.h"

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace connchk::server {

std::vector<std::pair<std::uint16_t, unsigned long>> ForeignPorts::readTable(const std::string& text) {
  std::vector<std::pair<std::uint16_t, unsigned long>> sockets;
  std::istringstream lines(text);
  std::string line;
  std::getline(lines, line);  // the heading
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
    fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
    const auto colon = local.rfind(':');
    if (!fields || colon == std::string::npos) continue;
    try {
      const unsigned long port = std::stoul(local.substr(colon + 1), nullptr, 16);
      if (port > 0xFFFF) continue;
      sockets.emplace_back(static_cast<std::uint16_t>(port), std::stoul(inode));
    } catch (const std::exception&) {
      // a line of another shape is passed over
    }
  }
  return sockets;
}

void ForeignPorts::read(Clock::time_point now, const std::vector<int>& ours) {
  std::vector<unsigned long> ourInodes;
  for (const int fd : ours) {
    struct stat st{};
    if (fd >= 0 && fstat(fd, &st) == 0) ourInodes.push_back(st.st_ino);
  }
  for (const char* table : {"/proc/thread-self/net/udp", "/proc/thread-self/net/udp6"}) {
    std::ifstream in(table);
    std::stringstream text;
    text << in.rdbuf();
    for (const auto& [port, inode] : readTable(text.str())) {
      if (std::find(ourInodes.begin(), ourInodes.end(), inode) == ourInodes.end()) lastSeen_[port] = now;
    }
  }
  // Ports not seen for longer than the memory are forgotten.
  std::erase_if(lastSeen_, [now](const auto& entry) { return now - entry.second >= Memory; });
  lastRead_ = now;
  everRead_ = true;
}

bool ForeignPorts::mayBind(std::uint16_t port, const std::vector<int>& ours) {
  const auto now = Clock::now();
  if (!everRead_ || now - lastRead_ >= ReadEvery) read(now, ours);
  const auto seen = lastSeen_.find(port);
  return seen == lastSeen_.end() || now - seen->second >= Memory;
}

void ForeignPorts::taken(std::uint16_t port) { lastSeen_[port] = Clock::now(); }

}  // namespace connchk::server
