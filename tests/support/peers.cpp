#include "tests/support/peers.h"

#include <poll.h>
#include <sys/socket.h>

#include <stdexcept>

#include "common/protocol.h"

namespace connchk::testing {

namespace {
constexpr int PollMs = 50;

bool readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, PollMs) > 0;
}

platform::Socket boundSocket(int type, std::uint32_t address, std::uint16_t port) {
  int error = 0;
  platform::Socket s = platform::openSocket(type, 0, error);
  const int on = 1;
  setsockopt(s.fd(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (!s.valid() || !platform::bindTo(s.fd(), platform::ipv4Address(address, port), error)) {
    throw std::runtime_error("test peer cannot bind port " + std::to_string(port));
  }
  return s;
}

bool waitUntil(std::mutex& m, const std::vector<Received>& v, std::size_t n, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    {
      std::lock_guard<std::mutex> hold(m);
      if (v.size() >= n) return true;
    }
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}
}  // namespace

Bytes withReplyMarker(Bytes request, std::size_t offset) {
  if (request.size() >= offset + MarkerSize) putMarker(request.data(), offset, ReplyMarker);
  return request;
}

UdpPeer::UdpPeer(std::uint16_t port, Answer answer, std::uint32_t address)
    : socket_(boundSocket(SOCK_DGRAM, address, port)), answer_(std::move(answer)) {
  thread_ = std::thread([this] {
    std::uint8_t buf[65536];
    while (!stop_) {
      if (!readable(socket_.fd())) continue;
      sockaddr_in from{};
      socklen_t len = sizeof from;
      const ssize_t n = recvfrom(socket_.fd(), buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
      if (n < 0) continue;
      Bytes request(buf, buf + n);
      {
        std::lock_guard<std::mutex> hold(mutex_);
        received_.push_back({request, from, std::chrono::steady_clock::now()});
      }
      if (auto reply = answer_(request)) platform::sendTo(socket_.fd(), reply->data(), reply->size(), from);
    }
  });
}

UdpPeer::~UdpPeer() {
  stop_ = true;
  thread_.join();
}

std::vector<Received> UdpPeer::received() {
  std::lock_guard<std::mutex> hold(mutex_);
  return received_;
}

bool UdpPeer::waitForCount(std::size_t n, std::chrono::milliseconds limit) {
  return waitUntil(mutex_, received_, n, limit);
}

TcpPeer::TcpPeer(std::uint16_t port, Answer answer)
    : socket_(boundSocket(SOCK_STREAM, htonl(INADDR_LOOPBACK), port)), answer_(std::move(answer)) {
  if (listen(socket_.fd(), 4) != 0) throw std::runtime_error("test peer cannot listen");
  thread_ = std::thread([this] {
    while (!stop_) {
      if (!readable(socket_.fd())) continue;
      sockaddr_in from{};
      socklen_t len = sizeof from;
      platform::Socket connection(accept(socket_.fd(), reinterpret_cast<sockaddr*>(&from), &len));
      if (!connection.valid()) continue;
      std::uint8_t buf[65536];
      while (!stop_) {
        if (!readable(connection.fd())) continue;
        const ssize_t n = recv(connection.fd(), buf, sizeof buf, 0);
        if (n <= 0) break;
        Bytes request(buf, buf + n);
        {
          std::lock_guard<std::mutex> hold(mutex_);
          received_.push_back({request, from, std::chrono::steady_clock::now()});
        }
        if (auto reply = answer_(request)) platform::sendBytes(connection.fd(), reply->data(), reply->size());
      }
    }
  });
}

TcpPeer::~TcpPeer() {
  stop_ = true;
  thread_.join();
}

std::vector<Received> TcpPeer::received() {
  std::lock_guard<std::mutex> hold(mutex_);
  return received_;
}

bool TcpPeer::waitForCount(std::size_t n, std::chrono::milliseconds limit) {
  return waitUntil(mutex_, received_, n, limit);
}

}  // namespace connchk::testing
