// Sees every UDP datagram that reaches the host it was made in, as the wire carried it (source
// and destination address and port, payload), through a raw socket of protocol 17. It sees only
// what comes in, not what the host sends. Made inside TwoHosts::inHost to watch that host.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "common/platform/address.h"
#include "common/platform/net.h"

namespace connchk::testing {

struct WireDatagram {
  platform::Address source;  // with port 0: the ports stand beside them
  std::uint16_t sourcePort = 0;
  platform::Address destination;
  std::uint16_t destinationPort = 0;
  std::vector<std::uint8_t> payload;
};

class UdpSniffer {
 public:
  UdpSniffer();  // throws when the raw socket cannot be opened
  ~UdpSniffer();
  std::vector<WireDatagram> seen();
  // Waits until `n` datagrams that `wanted` picks have come in; false past the limit.
  bool waitFor(const std::function<bool(const WireDatagram&)>& wanted, std::size_t n,
               std::chrono::milliseconds limit = std::chrono::milliseconds(10000));

 private:
  platform::Socket socket_;
  std::mutex mutex_;
  std::vector<WireDatagram> seen_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Datagrams to or from a port, for waitFor.
std::function<bool(const WireDatagram&)> toPort(std::uint16_t port);
std::function<bool(const WireDatagram&)> fromPort(std::uint16_t port);

}  // namespace connchk::testing
