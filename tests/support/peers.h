// Peers on the test's own network that a test drives: they receive on a port, keep what they
// got, and answer through a function the test gives (or stay silent). Each stops when destroyed.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "common/platform/net.h"

namespace connchk::testing {

using Bytes = std::vector<std::uint8_t>;
using Answer = std::function<std::optional<Bytes>(const Bytes& request)>;

// The echo answer of a working server: the request with the reply marker at `offset`.
Bytes withReplyMarker(Bytes request, std::size_t offset = 8);
inline std::optional<Bytes> silent(const Bytes&) { return std::nullopt; }

struct Received {
  Bytes bytes;
  sockaddr_in from{};
  std::chrono::steady_clock::time_point at;
};

class UdpPeer {
 public:
  UdpPeer(std::uint16_t port, Answer answer, std::uint32_t addressNetworkOrder = htonl(INADDR_LOOPBACK));
  ~UdpPeer();
  std::vector<Received> received();
  bool waitForCount(std::size_t n, std::chrono::milliseconds limit = std::chrono::milliseconds(10000));
  int fd() const { return socket_.fd(); }

 private:
  platform::Socket socket_;
  Answer answer_;
  std::mutex mutex_;
  std::vector<Received> received_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Serves one connection at a time and answers every receive on it.
class TcpPeer {
 public:
  TcpPeer(std::uint16_t port, Answer answer);
  ~TcpPeer();
  std::vector<Received> received();
  bool waitForCount(std::size_t n, std::chrono::milliseconds limit = std::chrono::milliseconds(10000));

 private:
  platform::Socket socket_;
  Answer answer_;
  std::mutex mutex_;
  std::vector<Received> received_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace connchk::testing
