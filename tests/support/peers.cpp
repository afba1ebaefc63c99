#include "tests/support/peers.h"

#include <poll.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <stdexcept>

#include "common/platform/sockets.h"
#include "common/protocol.h"
#include "tests/support/program.h"
#include "tests/support/two_hosts.h"

namespace connchk::testing {

namespace {
constexpr int PollMs = 50;

bool readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, PollMs) > 0;
}

platform::Socket boundSocket(int type, const platform::Address& address) {
  auto s = platform::openSocket(address.family(), type, 0);
  platform::Status bound = platform::statusOf(s);
  if (bound) bound = platform::setReuseAddress(s->fd());
  if (bound && address.family() == platform::Family::IPv6) bound = platform::setIPv6Only(s->fd(), true);
  if (bound) bound = platform::bindTo(s->fd(), address);
  if (!bound) {
    throw std::runtime_error("test peer cannot bind " + address.textWithPort() + ": " + bound.error().call + " " +
                             std::to_string(bound.code()));
  }
  return std::move(*s);
}

Replies single(Answer answer) {
  return [answer = std::move(answer)](const Bytes& request) {
    std::vector<Reply> replies;
    if (auto reply = answer(request)) replies.push_back({std::move(*reply)});
    return replies;
  };
}

}  // namespace

platform::Socket openedSocket(platform::Family family, int type, int protocol) {
  auto opened = platform::openSocket(family, type, protocol);
  if (opened) return std::move(*opened);
  ADD_FAILURE() << "socket(" << type << ", " << protocol << ") fails with " << opened.code();
  return {};
}

Bytes withReplyMarker(Bytes request, std::size_t offset) {
  if (request.size() >= offset + MarkerSize) putMarker(request.data(), offset, ReplyMarker);
  return request;
}

Bytes withSendTimeMoved(Bytes answer, std::int64_t shift, std::size_t offset) {
  if (answer.size() >= offset + TimestampSize) {
    putU64(answer.data(), offset, readU64(answer.data(), offset) + static_cast<std::uint64_t>(shift));
  }
  return answer;
}

Bytes withSendTimeZero(Bytes answer, std::size_t offset) {
  if (answer.size() >= offset + TimestampSize) putU64(answer.data(), offset, 0);
  return answer;
}

std::vector<Received> Peer::received() {
  std::lock_guard<std::mutex> hold(mutex_);
  return received_;
}

bool Peer::waitForCount(std::size_t n, std::chrono::milliseconds limit) {
  return eventually([&] { return received().size() >= n; }, limit, std::chrono::milliseconds(5));
}

void Peer::take(const std::uint8_t* data, std::size_t n, const platform::Address& from,
                const std::function<void(const Bytes&)>& send) {
  Bytes request(data, data + n);
  {
    std::lock_guard<std::mutex> hold(mutex_);
    received_.push_back({request, from, std::chrono::steady_clock::now()});
  }
  for (const Reply& reply : replies_(request)) {
    // Waits in short steps, so that a peer being stopped does not hold the test.
    const auto due = std::chrono::steady_clock::now() + reply.after;
    while (!stop_ && std::chrono::steady_clock::now() < due) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (stop_) return;
    send(reply.bytes);
  }
}

void Peer::stopServing() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

UdpPeer::UdpPeer(std::uint16_t port, Answer answer, const char* address)
    : UdpPeer(port, single(std::move(answer)), address) {}

UdpPeer::UdpPeer(std::uint16_t port, Replies replies, const char* address)
    : UdpPeer(literal(address, port), std::move(replies)) {}

void Peer::serveDatagrams(int fd) {
  std::vector<std::uint8_t> buf(65536);
  while (!stop_) {
    if (!readable(fd)) continue;
    platform::Address from;
    const auto got = platform::receiveFrom(fd, buf.data(), buf.size(), from);
    if (!got) continue;
    take(buf.data(), *got, from,
         // A reply that cannot be sent is as one lost on the way.
         [fd, from](const Bytes& reply) { (void)platform::sendTo(fd, reply.data(), reply.size(), from); });
  }
}

UdpPeer::UdpPeer(const platform::Address& address, Replies replies)
    : Peer(std::move(replies)), socket_(boundSocket(SOCK_DGRAM, address)) {
  thread_ = std::thread([this] { serveDatagrams(socket_.fd()); });
}

RawPeer::RawPeer(platform::Family family, int protocol, Replies replies) : Peer(std::move(replies)) {
  auto opened = platform::openSocket(family, SOCK_RAW, protocol);
  if (!opened) throw std::runtime_error("raw test peer: socket: " + std::to_string(opened.code()));
  socket_ = std::move(*opened);
  thread_ = std::thread([this] { serveDatagrams(socket_.fd()); });
}

TcpPeer::TcpPeer(std::uint16_t port, Answer answer) : TcpPeer(port, single(std::move(answer))) {}

TcpPeer::TcpPeer(std::uint16_t port, Replies replies)
    : TcpPeer(platform::Address::loopback(platform::Family::IPv4, port), std::move(replies)) {}

TcpPeer::TcpPeer(const platform::Address& address, Replies replies)
    : Peer(std::move(replies)), socket_(boundSocket(SOCK_STREAM, address)) {
  if (listen(socket_.fd(), 4) != 0) throw std::runtime_error("test peer cannot listen");
  thread_ = std::thread([this] {
    while (!stop_) {
      if (!readable(socket_.fd())) continue;
      platform::Address from;
      auto accepted = platform::acceptFrom(socket_.fd(), from);
      if (!accepted) continue;
      const platform::Socket connection = std::move(*accepted);
      std::uint8_t buf[65536];
      while (!stop_) {
        if (!readable(connection.fd())) continue;
        const ssize_t n = recv(connection.fd(), buf, sizeof buf, 0);
        if (n <= 0) break;
        take(buf, static_cast<std::size_t>(n), from,
             [&](const Bytes& reply) { (void)platform::sendBytes(connection.fd(), reply.data(), reply.size()); });
      }
    }
  });
}

UdpSender::UdpSender(const char* address, std::uint16_t port) : socket_(boundSocket(SOCK_DGRAM, literal(address, port))) {}

void UdpSender::send(const Bytes& bytes, const platform::Address& to) {
  if (!platform::sendTo(socket_.fd(), bytes.data(), bytes.size(), to)) {
    throw std::runtime_error("stranger cannot send");
  }
}

TcpBlackHole::TcpBlackHole(std::uint16_t port)
    : listening_(boundSocket(SOCK_STREAM, platform::Address::loopback(platform::Family::IPv4, port))) {
  // A queue of one, taken by a connection that is never accepted.
  if (listen(listening_.fd(), 0) != 0) throw std::runtime_error("black hole cannot listen");
  auto queued = platform::openSocket(platform::Family::IPv4, SOCK_STREAM, 0);
  if (!queued || !platform::connectTo(queued->fd(), platform::Address::loopback(platform::Family::IPv4, port))) {
    throw std::runtime_error("black hole cannot fill its queue");
  }
  queued_ = std::move(*queued);
}

}  // namespace connchk::testing
