// Peers on the test's own network that a test drives: they receive on a port, keep what they
// got, and answer through a function the test gives (or stay silent). Each stops when destroyed.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "common/platform/address.h"
#include "common/platform/net.h"

namespace connchk::testing {

// A socket the test cannot go on without: a failure to open it fails the test, with its code, and
// gives an invalid socket, on which the test's next call fails as well.
platform::Socket openedSocket(platform::Family family, int type, int protocol = 0);

using Bytes = std::vector<std::uint8_t>;
using Answer = std::function<std::optional<Bytes>(const Bytes& request)>;

// One of several datagrams (or stream pieces) sent for one request, `after` the one before it
// (the first: after the request came). A peer that waits holds back the requests behind it.
struct Reply {
  Bytes bytes;
  std::chrono::milliseconds after{0};
};
using Replies = std::function<std::vector<Reply>(const Bytes& request)>;

// The echo answer of a working server: the request with the reply marker at `offset`.
Bytes withReplyMarker(Bytes request, std::size_t offset = 8);
inline std::optional<Bytes> silent(const Bytes&) { return std::nullopt; }
inline std::optional<Bytes> echo(const Bytes& request) { return withReplyMarker(request); }
// The same with its send time moved by `shift` (100-ns units): a forged answer.
Bytes withSendTimeMoved(Bytes answer, std::int64_t shift, std::size_t offset = 0);
// An answer with its send time set to zero.
Bytes withSendTimeZero(Bytes answer, std::size_t offset = 0);

struct Received {
  Bytes bytes;
  platform::Address source;  // of either family, with its port
  std::chrono::steady_clock::time_point at;
};

// What both peers keep: every request received, with its source and time.
class Peer {
 public:
  std::vector<Received> received();
  bool waitForCount(std::size_t n, std::chrono::milliseconds limit = std::chrono::milliseconds(10000));

 protected:
  explicit Peer(Replies replies) : replies_(std::move(replies)) {}
  // Keeps the request and sends what the test answers to it through `send`.
  void take(const std::uint8_t* data, std::size_t n, const platform::Address& from,
            const std::function<void(const Bytes&)>& send);
  // Takes every datagram that reaches `fd` until stopped, answering to its source.
  void serveDatagrams(int fd);
  // Joins the serving thread; each derived destructor calls it before its socket goes.
  void stopServing();

  std::atomic<bool> stop_{false};
  std::thread thread_;

 private:
  Replies replies_;
  std::mutex mutex_;
  std::vector<Received> received_;
};

class UdpPeer : public Peer {
 public:
  // On an IPv4 literal ("0.0.0.0" for every address).
  UdpPeer(std::uint16_t port, Answer answer, const char* address = "127.0.0.1");
  UdpPeer(std::uint16_t port, Replies replies, const char* address = "127.0.0.1");
  // On an address of either family with its port (an IPv6 one serves IPv6 alone).
  UdpPeer(const platform::Address& address, Replies replies);
  ~UdpPeer() { stopServing(); }
  int fd() const { return socket_.fd(); }

 private:
  platform::Socket socket_;
};

// Serves one connection at a time and answers every receive on it (on 127.0.0.1 unless told).
class TcpPeer : public Peer {
 public:
  TcpPeer(std::uint16_t port, Answer answer);
  TcpPeer(std::uint16_t port, Replies replies);
  explicit TcpPeer(const platform::Address& address, Replies replies);
  ~TcpPeer() { stopServing(); }

 private:
  platform::Socket socket_;
};

// Every datagram of one IP protocol that reaches the host, through a raw socket of `family`, with
// the answers sent back to its source. An IPv4 raw socket gives the datagram with its IPv4 header,
// an IPv6 one the payload alone (for protocol 58 every ICMPv6 message, neighbour discovery too).
class RawPeer : public Peer {
 public:
  RawPeer(platform::Family family, int protocol, Replies replies);
  ~RawPeer() { stopServing(); }

 private:
  platform::Socket socket_;
};

// Sends datagrams from an address and port of its own: a stranger to the client.
class UdpSender {
 public:
  UdpSender(const char* address, std::uint16_t port);
  void send(const Bytes& bytes, const platform::Address& to);

 private:
  platform::Socket socket_;
};

// A TCP port on 127.0.0.1 that takes no connection: its listen queue is full, so the SYNs of a
// new connection are dropped without an answer, as a filtering firewall would.
class TcpBlackHole {
 public:
  explicit TcpBlackHole(std::uint16_t port);

 private:
  platform::Socket listening_;
  platform::Socket queued_;
};

}  // namespace connchk::testing
