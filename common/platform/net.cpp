#include "common/platform/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace connchk::platform {

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

void Socket::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

Socket openSocket(int type, int protocol, int& error) {
  const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, protocol);
  error = fd < 0 ? errno : 0;
  return Socket(fd);
}

bool setReceiveTimeout(int fd, int ms, int& error) {
  timeval tv{};
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  const bool ok = ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
  error = ok ? 0 : errno;
  return ok;
}

bool isTimeout(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

namespace {
bool setOption(int fd, int level, int name, int value, int& error) {
  const bool ok = ::setsockopt(fd, level, name, &value, sizeof value) == 0;
  error = ok ? 0 : errno;
  return ok;
}
int flagsFor(Wait wait) { return wait == Wait::Now ? MSG_DONTWAIT : 0; }
}  // namespace

bool setReuseAddress(int fd, int& error) { return setOption(fd, SOL_SOCKET, SO_REUSEADDR, 1, error); }

bool setSendBuffer(int fd, int bytes, int& error) { return setOption(fd, SOL_SOCKET, SO_SNDBUF, bytes, error); }

bool setNonBlocking(int fd, int& error) {
  const int flags = ::fcntl(fd, F_GETFL);
  const bool ok = flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
  error = ok ? 0 : errno;
  return ok;
}

bool setKeepAlive(int fd, int idleS, int intervalS, int count, int& error) {
  return setOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1, error) && setOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, idleS, error) &&
         setOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, intervalS, error) &&
         setOption(fd, IPPROTO_TCP, TCP_KEEPCNT, count, error) &&
         setOption(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, (idleS + intervalS * count) * 1000, error);
}

bool sameEndpoint(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_family == b.sin_family && a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

sockaddr_in ipv4Address(std::uint32_t addressNetworkOrder, std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = addressNetworkOrder;
  return a;
}

bool bindTo(int fd, const sockaddr_in& address, int& error) {
  const bool ok = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  error = ok ? 0 : errno;
  return ok;
}

bool connectTo(int fd, const sockaddr_in& address, int& error) {
  int rc;
  do {
    rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  } while (rc < 0 && errno == EINTR);
  error = rc == 0 ? 0 : errno;
  return rc == 0;
}

std::optional<sockaddr_in> resolveIPv4(const std::string& text) {
  in_addr parsed{};
  if (inet_pton(AF_INET, text.c_str(), &parsed) == 1) return ipv4Address(parsed.s_addr, 0);
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* found = nullptr;
  if (text.empty() || getaddrinfo(text.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
    return std::nullopt;
  }
  sockaddr_in result{};
  std::memcpy(&result, found->ai_addr, sizeof result);
  freeaddrinfo(found);
  result.sin_port = 0;
  return result;
}

std::string dotted(std::uint32_t addressNetworkOrder) {
  in_addr a{};
  a.s_addr = addressNetworkOrder;
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

std::string dotted(const sockaddr_in& address) { return dotted(address.sin_addr.s_addr); }

std::uint16_t localPort(int fd) {
  sockaddr_in local{};
  socklen_t len = sizeof local;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) != 0) return 0;
  return ntohs(local.sin_port);
}

namespace {
IoResult outcome(ssize_t n) { return IoResult{n, n < 0 ? errno : 0}; }
}  // namespace

IoResult sendBytes(int fd, const void* data, std::size_t length, Wait wait) {
  ssize_t n;
  do {
    n = ::send(fd, data, length, MSG_NOSIGNAL | flagsFor(wait));
  } while (n < 0 && errno == EINTR);
  return outcome(n);
}

IoResult sendTo(int fd, const void* data, std::size_t length, const sockaddr_in& to) {
  ssize_t n;
  do {
    n = ::sendto(fd, data, length, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  } while (n < 0 && errno == EINTR);
  return outcome(n);
}

IoResult receive(int fd, void* buffer, std::size_t capacity, Wait wait) {
  ssize_t n;
  do {
    n = ::recv(fd, buffer, capacity, flagsFor(wait));
  } while (n < 0 && errno == EINTR);
  return outcome(n);
}

IoResult receiveFrom(int fd, void* buffer, std::size_t capacity, sockaddr_in& from, Wait wait) {
  iovec part{buffer, capacity};
  msghdr message{};
  ssize_t n;
  do {
    std::memset(&from, 0, sizeof from);
    message = msghdr{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    n = ::recvmsg(fd, &message, flagsFor(wait));
  } while (n < 0 && errno == EINTR);
  if (n >= 0 && (message.msg_flags & MSG_TRUNC)) return IoResult{-1, EMSGSIZE};
  return outcome(n);
}

bool listenOn(int fd, int backlog, int& error) {
  const bool ok = ::listen(fd, backlog) == 0;
  error = ok ? 0 : errno;
  return ok;
}

Socket acceptFrom(int fd, sockaddr_in& peer, int& error, Wait wait) {
  const int flags = SOCK_CLOEXEC | (wait == Wait::Now ? SOCK_NONBLOCK : 0);
  int connection;
  do {
    std::memset(&peer, 0, sizeof peer);
    socklen_t length = sizeof peer;
    connection = ::accept4(fd, reinterpret_cast<sockaddr*>(&peer), &length, flags);
  } while (connection < 0 && errno == EINTR);
  error = connection < 0 ? errno : 0;
  return Socket(connection);
}

}  // namespace connchk::platform
