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

// What both peers keep: every request received, with its source and time.
class Peer {
 public:
  std::vector<Received> received();
  bool waitForCount(std::size_t n, std::chrono::milliseconds limit = std::chrono::milliseconds(10000));

 protected:
  explicit Peer(Answer answer) : answer_(std::move(answer)) {}
  // Keeps the request and returns the answer to it, if any.
  std::optional<Bytes> take(const std::uint8_t* data, std::size_t n, const sockaddr_in& from);
  // Joins the serving thread; each derived destructor calls it before its socket goes.
  void stopServing();

  std::atomic<bool> stop_{false};
  std::thread thread_;

 private:
  Answer answer_;
  std::mutex mutex_;
  std::vector<Received> received_;
};

class UdpPeer : public Peer {
 public:
  UdpPeer(std::uint16_t port, Answer answer, std::uint32_t addressNetworkOrder = htonl(INADDR_LOOPBACK));
  ~UdpPeer() { stopServing(); }
  int fd() const { return socket_.fd(); }

 private:
  platform::Socket socket_;
};

// Serves one connection at a time and answers every receive on it.
class TcpPeer : public Peer {
 public:
  TcpPeer(std::uint16_t port, Answer answer);
  ~TcpPeer() { stopServing(); }

 private:
  platform::Socket socket_;
};

}  // namespace connchk::testing
