#include "common/platform/sockets.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>

namespace connchk::platform {

Socket openSocket(Family family, int type, int protocol, int& error) {
  const int fd = ::socket(family == Family::IPv4 ? AF_INET : AF_INET6, type | SOCK_CLOEXEC, protocol);
  error = fd < 0 ? errno : 0;
  return Socket(fd);
}

Socket openDualStackSocket(int type, Family& family, int& error) {
  family = Family::IPv6;
  Socket socket = openSocket(Family::IPv6, type, 0, error);
  if (socket.valid()) {
    // The system's default (net.ipv6.bindv6only) may say otherwise; a socket that cannot take
    // IPv4 as well would leave IPv4 peers unserved, so it is not used.
    if (setIPv6Only(socket.fd(), false, error)) return socket;
    return Socket();
  }
  if (error != EAFNOSUPPORT) return socket;
  family = Family::IPv4;
  return openSocket(Family::IPv4, type, 0, error);
}

bool setIPv6Only(int fd, bool only, int& error) {
  const int value = only ? 1 : 0;
  const bool ok = ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &value, sizeof value) == 0;
  error = ok ? 0 : errno;
  return ok;
}

bool bindTo(int fd, const Address& address, int& error) {
  sockaddr_storage to{};
  const socklen_t length = address.toSockaddr(to);
  const bool ok = ::bind(fd, reinterpret_cast<const sockaddr*>(&to), length) == 0;
  error = ok ? 0 : errno;
  return ok;
}

bool connectTo(int fd, const Address& address, int& error) {
  sockaddr_storage to{};
  const socklen_t length = address.toSockaddr(to);
  int rc;
  do {
    rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&to), length);
  } while (rc < 0 && errno == EINTR);
  error = rc == 0 ? 0 : errno;
  return rc == 0;
}

IoResult sendTo(int fd, const void* data, std::size_t length, const Address& to, Wait wait) {
  sockaddr_storage address{};
  const socklen_t addressLength = to.toSockaddr(address);
  ssize_t n;
  do {
    n = ::sendto(fd, data, length, MSG_NOSIGNAL | (wait == Wait::Now ? MSG_DONTWAIT : 0), reinterpret_cast<const sockaddr*>(&address), addressLength);
  } while (n < 0 && errno == EINTR);
  return IoResult{n, n < 0 ? errno : 0};
}

IoResult receiveFrom(int fd, void* buffer, std::size_t capacity, Address& from, Wait wait) {
  sockaddr_storage source{};
  iovec part{buffer, capacity};
  msghdr message{};
  ssize_t n;
  do {
    message = msghdr{};
    message.msg_name = &source;
    message.msg_namelen = sizeof source;
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    n = ::recvmsg(fd, &message, wait == Wait::Now ? MSG_DONTWAIT : 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return IoResult{n, errno};
  if (message.msg_flags & MSG_TRUNC) return IoResult{-1, EMSGSIZE};
  if (auto sender = Address::fromSockaddr(reinterpret_cast<const sockaddr*>(&source), message.msg_namelen)) {
    from = *sender;
  }
  return IoResult{n, 0};
}

Socket acceptFrom(int fd, Address& peer, int& error, Wait wait) {
  const int flags = SOCK_CLOEXEC | (wait == Wait::Now ? SOCK_NONBLOCK : 0);
  int connection;
  sockaddr_storage source{};
  socklen_t length;
  do {
    length = sizeof source;
    connection = ::accept4(fd, reinterpret_cast<sockaddr*>(&source), &length, flags);
  } while (connection < 0 && errno == EINTR);
  error = connection < 0 ? errno : 0;
  if (connection >= 0) {
    if (auto sender = Address::fromSockaddr(reinterpret_cast<const sockaddr*>(&source), length)) peer = *sender;
  }
  return Socket(connection);
}

std::optional<Address> localAddress(int fd) {
  sockaddr_storage local{};
  socklen_t length = sizeof local;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) return std::nullopt;
  return Address::fromSockaddr(reinterpret_cast<const sockaddr*>(&local), length);
}

}  // namespace connchk::platform
