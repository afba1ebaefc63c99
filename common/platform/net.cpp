#include "common/platform/net.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>

#include "common/platform/sockets.h"

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

bool setReceiveTimeout(int fd, int ms, int& error) {
  timeval tv{};
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  const bool ok = ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
  error = ok ? 0 : errno;
  return ok;
}

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

void raiseSendBuffer(int fd, int bytes) {
  int error = 0;
  if (!setOption(fd, SOL_SOCKET, SO_SNDBUFFORCE, bytes, error)) setSendBuffer(fd, bytes, error);
}

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

std::uint16_t localPort(int fd) {
  const auto local = localAddress(fd);
  return local ? local->port() : 0;
}

Result<std::size_t> sendBytes(int fd, const void* data, std::size_t length, Wait wait) {
  ssize_t n;
  do {
    n = ::send(fd, data, length, MSG_NOSIGNAL | flagsFor(wait));
  } while (n < 0 && errno == EINTR);
  if (n < 0) return lastError("send");
  return static_cast<std::size_t>(n);
}

Result<std::size_t> receive(int fd, void* buffer, std::size_t capacity, Wait wait) {
  ssize_t n;
  do {
    n = ::recv(fd, buffer, capacity, flagsFor(wait));
  } while (n < 0 && errno == EINTR);
  if (n < 0) return lastError("recv");
  return static_cast<std::size_t>(n);
}

bool listenOn(int fd, int backlog, int& error) {
  const bool ok = ::listen(fd, backlog) == 0;
  error = ok ? 0 : errno;
  return ok;
}

int outgoingTtl(int fd, bool ipv6) {
  int value = -1;
  socklen_t length = sizeof value;
  const bool ok = ipv6 ? ::getsockopt(fd, IPPROTO_IPV6, IPV6_UNICAST_HOPS, &value, &length) == 0
                       : ::getsockopt(fd, IPPROTO_IP, IP_TTL, &value, &length) == 0;
  return ok ? value : -1;
}

}  // namespace connchk::platform
