#include "common/platform/sockets.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace connchk::platform {

Result<Socket> openSocket(Family family, int type, int protocol) {
  const int fd = ::socket(family == Family::IPv4 ? AF_INET : AF_INET6, type | SOCK_CLOEXEC, protocol);
  if (fd < 0) return lastError("socket");
  return Socket(fd);
}

Result<DualStackSocket> openDualStackSocket(int type) {
  Result<Socket> opened = openSocket(Family::IPv6, type, 0);
  if (opened) {
    // The system's default (net.ipv6.bindv6only) may say otherwise; a socket that cannot take
    // IPv4 as well would leave IPv4 peers unserved, so it is not used.
    if (Status dual = setIPv6Only(opened->fd(), false); !dual) return std::move(dual).error();
    return DualStackSocket{std::move(*opened), Family::IPv6};
  }
  if (opened.code() != EAFNOSUPPORT) return std::move(opened).error();
  opened = openSocket(Family::IPv4, type, 0);
  if (!opened) return std::move(opened).error();
  return DualStackSocket{std::move(*opened), Family::IPv4};
}

Status setIPv6Only(int fd, bool only) {
  const int value = only ? 1 : 0;
  if (::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &value, sizeof value) != 0) return lastError("setsockopt");
  return {};
}

Status bindTo(int fd, const Address& address) {
  sockaddr_storage to{};
  const socklen_t length = address.toSockaddr(to);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&to), length) != 0) return lastError("bind");
  return {};
}

Status connectTo(int fd, const Address& address) {
  sockaddr_storage to{};
  const socklen_t length = address.toSockaddr(to);
  int rc;
  do {
    rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&to), length);
  } while (rc < 0 && errno == EINTR);
  if (rc != 0) return lastError("connect");
  return {};
}

Result<std::size_t> sendTo(int fd, const void* data, std::size_t length, const Address& to, Wait wait) {
  sockaddr_storage address{};
  const socklen_t addressLength = to.toSockaddr(address);
  ssize_t n;
  do {
    n = ::sendto(fd, data, length, MSG_NOSIGNAL | (wait == Wait::Now ? MSG_DONTWAIT : 0), reinterpret_cast<const sockaddr*>(&address), addressLength);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return lastError("sendto");
  return static_cast<std::size_t>(n);
}

Result<std::size_t> receiveFrom(int fd, void* buffer, std::size_t capacity, Address& from, Wait wait) {
  ArrivalMarks unread;
  return receiveFrom(fd, buffer, capacity, from, wait, unread);
}

void askForArrivalMarks(int fd, Family family) {
  const int on = 1;
  // Each may fail (a raw IPv6 socket has no IPv4 options); the marks then read -1.
  ::setsockopt(fd, IPPROTO_IP, IP_RECVTTL, &on, sizeof on);
  ::setsockopt(fd, IPPROTO_IP, IP_RECVTOS, &on, sizeof on);
  if (family == Family::IPv6) {
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_RECVHOPLIMIT, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_RECVTCLASS, &on, sizeof on);
  }
}

void readMarks(msghdr& message, ArrivalMarks& marks) {
  marks = ArrivalMarks{};
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    const unsigned char* data = CMSG_DATA(c);
    const std::size_t size = c->cmsg_len - CMSG_LEN(0);
    int value = -1;
    if (size >= sizeof(int)) {
      std::memcpy(&value, data, sizeof value);
    } else if (size >= 1) {
      value = data[0];  // IP_TOS comes as one byte
    }
    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TTL) marks.ttl = value;
    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TOS) marks.tos = size >= 1 ? data[0] : -1;
    if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_HOPLIMIT) marks.ttl = value;
    if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_TCLASS) marks.tos = value;
  }
}

void askForArrivalAddress(int fd, Family family) {
  const int on = 1;
  // A dual-stack socket hands IPv4 peers' datagrams over with IP_PKTINFO.
  ::setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
  if (family == Family::IPv6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof on);
}

std::optional<Address> arrivalAddress(msghdr& message) {
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    const std::size_t size = c->cmsg_len - CMSG_LEN(0);
    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO && size >= sizeof(in_pktinfo)) {
      in_pktinfo info;
      std::memcpy(&info, CMSG_DATA(c), sizeof info);
      // ipi_spec_dst is the local address the datagram came to; for a broadcast, the interface's.
      if (IN_MULTICAST(ntohl(info.ipi_spec_dst.s_addr)) || info.ipi_spec_dst.s_addr == INADDR_ANY) return std::nullopt;
      sockaddr_in local{};
      local.sin_family = AF_INET;
      local.sin_addr = info.ipi_spec_dst;
      return Address::fromSockaddr(reinterpret_cast<const sockaddr*>(&local), sizeof local);
    }
    if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO && size >= sizeof(in6_pktinfo)) {
      in6_pktinfo info;
      std::memcpy(&info, CMSG_DATA(c), sizeof info);
      if (IN6_IS_ADDR_MULTICAST(&info.ipi6_addr)) return std::nullopt;
      sockaddr_in6 local{};
      local.sin6_family = AF_INET6;
      local.sin6_addr = info.ipi6_addr;
      if (IN6_IS_ADDR_LINKLOCAL(&info.ipi6_addr)) local.sin6_scope_id = info.ipi6_ifindex;
      return Address::fromSockaddr(reinterpret_cast<const sockaddr*>(&local), sizeof local);
    }
  }
  return std::nullopt;
}

std::size_t putControlMessage(unsigned char* at, int level, int type, const void* data, std::size_t size) {
  std::memset(at, 0, CMSG_SPACE(size));
  auto* c = reinterpret_cast<cmsghdr*>(at);
  c->cmsg_level = level;
  c->cmsg_type = type;
  c->cmsg_len = CMSG_LEN(size);
  std::memcpy(CMSG_DATA(c), data, size);
  return CMSG_SPACE(size);
}

std::size_t sourceControl(const Address& from, unsigned char* control) {
  static_assert(CMSG_SPACE(sizeof(in6_pktinfo)) <= ArrivalAddressControlBytes);
  sockaddr_storage local{};
  from.toSockaddr(local, from.family());
  if (from.family() == Family::IPv4) {
    in_pktinfo info{};
    info.ipi_spec_dst = reinterpret_cast<const sockaddr_in&>(local).sin_addr;
    return putControlMessage(control, IPPROTO_IP, IP_PKTINFO, &info, sizeof info);
  }
  const auto& local6 = reinterpret_cast<const sockaddr_in6&>(local);
  in6_pktinfo info{};
  info.ipi6_addr = local6.sin6_addr;
  info.ipi6_ifindex = local6.sin6_scope_id;
  return putControlMessage(control, IPPROTO_IPV6, IPV6_PKTINFO, &info, sizeof info);
}

Result<std::size_t> sendFrom(int fd, const void* data, std::size_t length, const Address& to,
                             const std::optional<Address>& from, Wait wait) {
  if (!from) return sendTo(fd, data, length, to, wait);
  sockaddr_storage address{};
  alignas(cmsghdr) unsigned char control[ArrivalAddressControlBytes];
  iovec part{const_cast<void*>(data), length};
  const socklen_t addressLength = to.toSockaddr(address);
  msghdr message = messageOf(&address, addressLength, &part, 1, control, sourceControl(*from, control));
  ssize_t n;
  do {
    n = ::sendmsg(fd, &message, MSG_NOSIGNAL | (wait == Wait::Now ? MSG_DONTWAIT : 0));
  } while (n < 0 && errno == EINTR);
  if (n < 0) return lastError("sendmsg");
  return static_cast<std::size_t>(n);
}

Status setTrafficClass(int fd, Family family, int tos) {
  const bool ok = family == Family::IPv6 ? ::setsockopt(fd, IPPROTO_IPV6, IPV6_TCLASS, &tos, sizeof tos) == 0
                                         : ::setsockopt(fd, IPPROTO_IP, IP_TOS, &tos, sizeof tos) == 0;
  if (!ok) return lastError("setsockopt");
  return {};
}

void keepSyns(int listeningFd) {
  const int on = 1;
  ::setsockopt(listeningFd, IPPROTO_TCP, TCP_SAVE_SYN, &on, sizeof on);
}

ArrivalMarks synMarks(int connectionFd) {
  std::uint8_t syn[512];
  socklen_t length = sizeof syn;
  if (::getsockopt(connectionFd, IPPROTO_TCP, TCP_SAVED_SYN, syn, &length) != 0) return {};
  return headerMarks(syn, length);
}

ArrivalMarks headerMarks(const std::uint8_t* header, std::size_t length) {
  if (length >= 20 && (header[0] >> 4) == 4) return ArrivalMarks{header[8], header[1]};
  if (length >= 40 && (header[0] >> 4) == 6) {
    return ArrivalMarks{header[7], ((header[0] & 0x0F) << 4) | (header[1] >> 4)};
  }
  return {};
}

namespace {
// One recvmsg with room for the control messages of the marks and the stamp. The clocks are read
// right after it returns, so that a stamp is carried over by the offset of that moment.
// `sourceLength` is the length of what the call wrote to `source`.
Result<std::size_t> receiveMessage(int fd, void* buffer, std::size_t capacity, sockaddr_storage* source,
                                   socklen_t& sourceLength, Wait wait, ArrivalMarks* marks, ReceiveTime* time,
                                   std::optional<Address>* arrivedAt = nullptr) {
  alignas(cmsghdr) unsigned char control[256];
  iovec part{buffer, capacity};
  msghdr message{};
  ssize_t n;
  do {
    message = messageOf(source, source != nullptr ? sizeof *source : 0, &part, 1, control, sizeof control);
    n = ::recvmsg(fd, &message, wait == Wait::Now ? MSG_DONTWAIT : 0);
  } while (n < 0 && errno == EINTR);
  Result<std::size_t> got = n < 0 ? Result<std::size_t>(lastError("recvmsg")) : static_cast<std::size_t>(n);
  if (time != nullptr) {
    const ClockReading clocks = readClocks();
    *time = ReceiveTime{clocks.monotonic, std::nullopt};
    if (got) {
      if (const auto stamp = readReceiveStamp(message)) time->stamped = stampOnMonotonic(*stamp, clocks);
    }
  }
  if (!got) return got;
  sourceLength = message.msg_namelen;
  // Only a datagram can be cut short; a stream's receive returns the rest next time.
  if (source != nullptr && (message.msg_flags & MSG_TRUNC)) return Error{"recvmsg", EMSGSIZE, {}};
  if (marks != nullptr) readMarks(message, *marks);
  if (arrivedAt != nullptr) *arrivedAt = arrivalAddress(message);
  return got;
}

Result<std::size_t> receiveDatagram(int fd, void* buffer, std::size_t capacity, Address& from, Wait wait,
                                    ArrivalMarks* marks, ReceiveTime* time, std::optional<Address>* arrivedAt = nullptr) {
  sockaddr_storage source{};
  socklen_t sourceLength = 0;
  auto got = receiveMessage(fd, buffer, capacity, &source, sourceLength, wait, marks, time, arrivedAt);
  if (!got) return got;
  if (auto sender = Address::fromSockaddr(reinterpret_cast<const sockaddr*>(&source), sourceLength)) from = *sender;
  return got;
}
}  // namespace

Result<std::size_t> receiveFrom(int fd, void* buffer, std::size_t capacity, Address& from, Wait wait,
                                ArrivalMarks& marks, std::optional<Address>* arrivedAt) {
  return receiveDatagram(fd, buffer, capacity, from, wait, &marks, nullptr, arrivedAt);
}

Result<std::size_t> receiveFrom(int fd, void* buffer, std::size_t capacity, Address& from, Wait wait,
                                ReceiveTime& time) {
  return receiveDatagram(fd, buffer, capacity, from, wait, nullptr, &time);
}

Result<std::size_t> receive(int fd, void* buffer, std::size_t capacity, Wait wait, ReceiveTime& time) {
  socklen_t unused = 0;
  return receiveMessage(fd, buffer, capacity, nullptr, unused, wait, nullptr, &time);
}

Result<Socket> acceptFrom(int fd, Address& peer, Wait wait) {
  const int flags = SOCK_CLOEXEC | (wait == Wait::Now ? SOCK_NONBLOCK : 0);
  int connection;
  sockaddr_storage source{};
  socklen_t length;
  do {
    length = sizeof source;
    connection = ::accept4(fd, reinterpret_cast<sockaddr*>(&source), &length, flags);
  } while (connection < 0 && errno == EINTR);
  if (connection < 0) return lastError("accept");
  if (auto sender = Address::fromSockaddr(reinterpret_cast<const sockaddr*>(&source), length)) peer = *sender;
  return Socket(connection);
}

std::optional<Address> localAddress(int fd) {
  sockaddr_storage local{};
  socklen_t length = sizeof local;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) return std::nullopt;
  return Address::fromSockaddr(reinterpret_cast<const sockaddr*>(&local), length);
}

int tcpRetransmissions(int fd) {
  tcp_info info{};
  socklen_t length = sizeof info;
  if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) return -1;
  return static_cast<int>(info.tcpi_total_retrans);
}

}  // namespace connchk::platform
