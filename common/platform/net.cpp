#include "common/platform/net.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <tuple>

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

Status setReceiveTimeout(int fd, int ms) {
  timeval tv{};
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) return lastError("setsockopt");
  return {};
}

namespace {
Status setOption(int fd, int level, int name, int value) {
  if (::setsockopt(fd, level, name, &value, sizeof value) != 0) return lastError("setsockopt");
  return {};
}
int flagsFor(Wait wait) { return wait == Wait::Now ? MSG_DONTWAIT : 0; }
}  // namespace

Status setReuseAddress(int fd) { return setOption(fd, SOL_SOCKET, SO_REUSEADDR, 1); }

Status setSendBuffer(int fd, int bytes) { return setOption(fd, SOL_SOCKET, SO_SNDBUF, bytes); }

void raiseSendBuffer(int fd, int bytes) {
  // Past the cap needs a right the program may lack; then up to the cap. Neither failing matters:
  // the socket keeps the system's size.
  if (!setOption(fd, SOL_SOCKET, SO_SNDBUFFORCE, bytes)) (void)setSendBuffer(fd, bytes);
}

Status setNonBlocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return lastError("fcntl");
  return {};
}

Status setKeepAlive(int fd, int idleS, int intervalS, int count) {
  for (const auto& [level, name, value] : {std::tuple{SOL_SOCKET, SO_KEEPALIVE, 1},
                                           std::tuple{int{IPPROTO_TCP}, TCP_KEEPIDLE, idleS},
                                           std::tuple{int{IPPROTO_TCP}, TCP_KEEPINTVL, intervalS},
                                           std::tuple{int{IPPROTO_TCP}, TCP_KEEPCNT, count},
                                           std::tuple{int{IPPROTO_TCP}, TCP_USER_TIMEOUT, (idleS + intervalS * count) * 1000}}) {
    if (Status set = setOption(fd, level, name, value); !set) return set;
  }
  return {};
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

Status listenOn(int fd, int backlog) {
  if (::listen(fd, backlog) != 0) return lastError("listen");
  return {};
}

int outgoingTtl(int fd, bool ipv6) {
  int value = -1;
  socklen_t length = sizeof value;
  const bool ok = ipv6 ? ::getsockopt(fd, IPPROTO_IPV6, IPV6_UNICAST_HOPS, &value, &length) == 0
                       : ::getsockopt(fd, IPPROTO_IP, IP_TTL, &value, &length) == 0;
  return ok ? value : -1;
}

}  // namespace connchk::platform
