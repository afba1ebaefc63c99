// The UDP ports of this host that other programs hold or held a short while ago, read from the
// kernel's tables, so that the terminal exchange never binds one: a remote peer must not be able
// to take a port (a VPN's, say) while its program restarts, nor hold it by asking again.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace connchk::server {

class ForeignPorts {
 public:
  using Clock = std::chrono::steady_clock;
  // How long a port stays another program's after it was last seen held.
  static constexpr std::chrono::minutes Memory{10};
  // The tables are read at most this often.
  static constexpr std::chrono::seconds ReadEvery{1};

  // Whether `port` may be bound now: no socket but `ours` has held it within Memory.
  bool mayBind(std::uint16_t port, const std::vector<int>& ours);
  // A bind found `port` taken.
  void taken(std::uint16_t port);

  // The local port and socket inode of every line of a /proc/net/udp (or udp6) table.
  static std::vector<std::pair<std::uint16_t, unsigned long>> readTable(const std::string& text);

 private:
  void read(Clock::time_point now, const std::vector<int>& ours);

  std::unordered_map<std::uint16_t, Clock::time_point> lastSeen_;
  Clock::time_point lastRead_{};
  bool everRead_ = false;
};

}  // namespace connchk::server
