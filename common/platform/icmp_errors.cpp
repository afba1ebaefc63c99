#include "common/platform/icmp_errors.h"

#include <linux/errqueue.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "common/platform/sockets.h"

namespace connchk::platform {
namespace {

constexpr std::size_t IpHeaderBytes = 20;
constexpr std::size_t IcmpHeaderBytes = 8;  // type, code, checksum, then 4 bytes of the kind's own
constexpr std::size_t Ipv6HeaderBytes = 40;
constexpr std::uint8_t UdpProtocol = 17;
constexpr std::uint8_t TcpProtocol = 6;

std::uint16_t big16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }
std::uint32_t big32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
         static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}

std::optional<IcmpErrorKind> kindOf(Family family, std::uint8_t type, std::uint8_t code) {
  if (family == Family::IPv4) {
    switch (type) {
      case 3: return code == 4 ? IcmpErrorKind::PacketTooBig : IcmpErrorKind::Unreachable;
      case 11: return IcmpErrorKind::TimeExceeded;
      case 12: return IcmpErrorKind::ParameterProblem;
      default: return std::nullopt;
    }
  }
  switch (type) {
    case 1: return IcmpErrorKind::Unreachable;
    case 2: return IcmpErrorKind::PacketTooBig;
    case 3: return IcmpErrorKind::TimeExceeded;
    case 4: return IcmpErrorKind::ParameterProblem;
    default: return std::nullopt;
  }
}

bool isIpv6ExtensionHeader(std::uint8_t next) { return next == 0 || next == 43 || next == 60 || next == 44; }

// The quoted IP header, then what follows it. False when the header itself is not all there.
bool readQuoted(Family family, std::span<const std::uint8_t> bytes, QuotedDatagram& quoted) {
  std::size_t transportAt = 0;
  bool firstFragment = true;
  if (family == Family::IPv4) {
    if (bytes.size() < IpHeaderBytes || bytes[0] >> 4 != 4) return false;
    const std::size_t headerLength = std::size_t{bytes[0] & 0x0Fu} * 4;
    if (headerLength < IpHeaderBytes || headerLength > bytes.size()) return false;
    quoted.protocol = bytes[9];
    quoted.source = Address::fromBytes(Family::IPv4, bytes.data() + 12);
    quoted.destination = Address::fromBytes(Family::IPv4, bytes.data() + 16);
    firstFragment = (big16(bytes.data() + 6) & 0x1FFF) == 0;
    transportAt = headerLength;
  } else {
    if (bytes.size() < Ipv6HeaderBytes || bytes[0] >> 4 != 6) return false;
    quoted.source = Address::fromBytes(Family::IPv6, bytes.data() + 8);
    quoted.destination = Address::fromBytes(Family::IPv6, bytes.data() + 24);
    std::uint8_t next = bytes[6];
    std::size_t at = Ipv6HeaderBytes;
    // Extension headers in front of the transport header, as far as they are quoted whole.
    for (int hops = 0; isIpv6ExtensionHeader(next) && hops < 8; ++hops) {
      if (at + 8 > bytes.size()) break;
      const std::size_t length = next == 44 ? 8 : (std::size_t{bytes[at + 1]} + 1) * 8;
      if (next == 44) firstFragment = (big16(bytes.data() + at + 2) & 0xFFF8) == 0;
      if (at + length > bytes.size()) break;
      next = bytes[at];
      at += length;
    }
    quoted.protocol = next;
    transportAt = at;
  }
  quoted.transport.assign(bytes.begin() + static_cast<std::ptrdiff_t>(transportAt), bytes.end());
  if (firstFragment && (quoted.protocol == UdpProtocol || quoted.protocol == TcpProtocol) &&
      quoted.transport.size() >= 4) {
    quoted.source = quoted.source.withPort(big16(quoted.transport.data()));
    quoted.destination = quoted.destination.withPort(big16(quoted.transport.data() + 2));
    quoted.portsQuoted = true;
  }
  return true;
}

std::optional<std::uint32_t> reportedMtu(Family family, std::span<const std::uint8_t> message) {
  const std::uint32_t mtu = family == Family::IPv4 ? big16(message.data() + 6) : big32(message.data() + 4);
  if (mtu == 0) return std::nullopt;
  return mtu;
}

}  // namespace

std::optional<IcmpError> parseIcmpError(Family family, std::span<const std::uint8_t> message, const Address& offender) {
  if (message.size() < IcmpHeaderBytes) return std::nullopt;
  const auto kind = kindOf(family, message[0], message[1]);
  if (!kind) return std::nullopt;
  IcmpError error;
  error.kind = *kind;
  error.family = family;
  error.type = message[0];
  error.code = message[1];
  error.offender = offender.withPort(0);
  if (*kind == IcmpErrorKind::PacketTooBig) error.mtu = reportedMtu(family, message);
  if (!readQuoted(family, message.subspan(IcmpHeaderBytes), error.quoted)) return std::nullopt;
  return error;
}

std::optional<IcmpError> parseIcmpErrorDatagram(std::span<const std::uint8_t> datagram, const Address& offender) {
  if (datagram.size() < IpHeaderBytes || datagram[0] >> 4 != 4 || datagram[9] != 1) return std::nullopt;
  const std::size_t headerLength = std::size_t{datagram[0] & 0x0Fu} * 4;
  if (headerLength < IpHeaderBytes || headerLength > datagram.size()) return std::nullopt;
  return parseIcmpError(Family::IPv4, datagram.subspan(headerLength), offender);
}

std::string icmpErrorReason(const IcmpError& error) {
  const bool v4 = error.family == Family::IPv4;
  switch (error.kind) {
    case IcmpErrorKind::TimeExceeded:
      return error.code == 0 ? "время жизни истекло" : "время сборки фрагментов истекло";
    case IcmpErrorKind::PacketTooBig:
      return "нужна фрагментация" + (error.mtu ? " (MTU " + std::to_string(*error.mtu) + ")" : std::string());
    case IcmpErrorKind::ParameterProblem:
      return "ошибка в заголовке";
    case IcmpErrorKind::Unreachable:
      break;
  }
  const int code = error.code;
  if (v4) {
    switch (code) {
      case 0: return "сеть недоступна";
      case 1: return "узел недоступен";
      case 2: return "протокол недоступен";
      case 3: return "порт недоступен";
      case 5: return "ошибка маршрута источника";
      case 6: case 7: return "сеть или узел неизвестны";
      case 9: case 10: case 13: return "административно запрещено";
      case 11: case 12: return "недоступно для этого типа обслуживания";
      default: return "недоступно (код " + std::to_string(code) + ")";
    }
  }
  switch (code) {
    case 0: return "нет маршрута";
    case 1: return "административно запрещено";
    case 2: return "вне области адреса источника";
    case 3: return "узел недоступен";
    case 4: return "порт недоступен";
    case 5: return "адрес источника не пропущен политикой";
    case 6: return "маршрут отвергнут";
    default: return "недоступно (код " + std::to_string(code) + ")";
  }
}

Result<Socket> openIcmpErrorListener(Family family) {
  const bool v4 = family == Family::IPv4;
  Result<Socket> socket = openSocket(family, SOCK_RAW, v4 ? int{IPPROTO_ICMP} : int{IPPROTO_ICMPV6});
  if (!socket) {
    const int code = socket.code();
    return Error{"socket", code,
                 code == EPERM || code == EACCES
                     ? std::string("Нет права открыть сокет ") + (v4 ? "ICMP" : "ICMPv6") +
                           ": нужно право CAP_NET_RAW (root или setcap cap_net_raw+ep)"
                     : "Ошибка " + std::to_string(code) + " при открытии сокета"};
  }
  if (!v4) {
    icmp6_filter filter{};
    ICMP6_FILTER_SETBLOCKALL(&filter);
    for (int type : {ICMP6_DST_UNREACH, ICMP6_PACKET_TOO_BIG, ICMP6_TIME_EXCEEDED, ICMP6_PARAM_PROB}) {
      ICMP6_FILTER_SETPASS(type, &filter);
    }
    if (::setsockopt(socket->fd(), IPPROTO_ICMPV6, ICMP6_FILTER, &filter, sizeof filter) != 0) {
      Error error = lastError("setsockopt");
      error.text = "Ошибка " + std::to_string(error.code) + " при настройке сокета ICMPv6";
      return error;
    }
  }
  return socket;
}

Result<ErrorRead> readIcmpError(int fd, Family family, IcmpError& out) {
  std::uint8_t buffer[2048];
  Address from;
  auto got = receiveFrom(fd, buffer, sizeof buffer, from, Wait::Now);
  if (!got) {
    if (got.timedOut()) return ErrorRead::NothingLeft;
    // An oversized message is dropped by receiveFrom; it was not ours to read.
    if (got.code() == EMSGSIZE) return ErrorRead::Other;
    return std::move(got).error();
  }
  const std::span<const std::uint8_t> bytes(buffer, *got);
  auto error = family == Family::IPv4 ? parseIcmpErrorDatagram(bytes, from) : parseIcmpError(family, bytes, from);
  if (!error) return ErrorRead::Other;
  out = std::move(*error);
  return ErrorRead::Error;
}

Status enableErrorQueue(int fd, Family family) {
  const int on = 1;
  const bool ok = family == Family::IPv4 ? ::setsockopt(fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on) == 0
                                         : ::setsockopt(fd, IPPROTO_IPV6, IPV6_RECVERR, &on, sizeof on) == 0;
  if (!ok) return lastError("setsockopt");
  return {};
}

Result<ErrorRead> readErrorQueue(int fd, IcmpError& out) {
  std::uint8_t data[2048];
  sockaddr_storage destination{};
  alignas(cmsghdr) std::uint8_t control[512];
  iovec part{data, sizeof data};
  msghdr message{};
  ssize_t n;
  do {
    message = messageOf(&destination, sizeof destination, &part, 1, control, sizeof control);
    n = ::recvmsg(fd, &message, MSG_ERRQUEUE | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    Error failed = lastError("recvmsg");
    if (isTimeout(failed.code)) return ErrorRead::NothingLeft;
    return failed;
  }

  const sock_extended_err* extended = nullptr;
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if ((c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_RECVERR) ||
        (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_RECVERR)) {
      extended = reinterpret_cast<const sock_extended_err*>(CMSG_DATA(c));
    }
  }
  if (extended == nullptr) return ErrorRead::Other;

  const auto local = localAddress(fd);
  const auto target = Address::fromSockaddr(reinterpret_cast<const sockaddr*>(&destination), message.msg_namelen);
  if (!local || !target) return ErrorRead::Other;

  IcmpError error;
  error.family = target->family();
  error.type = extended->ee_type;
  error.code = extended->ee_code;
  if (extended->ee_origin == SO_EE_ORIGIN_LOCAL) {
    if (extended->ee_errno != EMSGSIZE) return ErrorRead::Other;
    error.kind = IcmpErrorKind::PacketTooBig;
    error.local = true;
    error.offender = local->withPort(0);
    if (extended->ee_info != 0) error.mtu = extended->ee_info;
  } else if (extended->ee_origin == SO_EE_ORIGIN_ICMP || extended->ee_origin == SO_EE_ORIGIN_ICMP6) {
    error.family = extended->ee_origin == SO_EE_ORIGIN_ICMP ? Family::IPv4 : Family::IPv6;
    const auto kind = kindOf(error.family, error.type, error.code);
    if (!kind) return ErrorRead::Other;
    error.kind = *kind;
    const sockaddr* offender = SO_EE_OFFENDER(extended);
    const auto sender = Address::fromSockaddr(offender, sizeof(sockaddr_in6));
    if (!sender) return ErrorRead::Other;
    error.offender = sender->withPort(0);
    if (error.kind == IcmpErrorKind::PacketTooBig && extended->ee_info != 0) error.mtu = extended->ee_info;
  } else {
    return ErrorRead::Other;
  }

  int protocol = 0;
  socklen_t length = sizeof protocol;
  ::getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &protocol, &length);
  int type = 0;
  length = sizeof type;
  ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length);
  QuotedDatagram& quoted = error.quoted;
  quoted.source = *local;
  quoted.destination = *target;
  const auto given = std::span<const std::uint8_t>(data, static_cast<std::size_t>(n));
  if (type == SOCK_DGRAM && (protocol == 0 || protocol == IPPROTO_UDP)) {
    // The kernel hands the UDP payload; the header it quoted is rebuilt from the socket's ports.
    quoted.protocol = UdpProtocol;
    const std::size_t total = 8 + given.size();
    const std::uint8_t header[8] = {
        static_cast<std::uint8_t>(local->port() >> 8),  static_cast<std::uint8_t>(local->port()),
        static_cast<std::uint8_t>(target->port() >> 8), static_cast<std::uint8_t>(target->port()),
        static_cast<std::uint8_t>(total >> 8),          static_cast<std::uint8_t>(total),
        0, 0};
    quoted.transport.assign(header, header + 8);
    quoted.portsQuoted = true;
  } else if (type == SOCK_STREAM) {
    quoted.protocol = TcpProtocol;
    quoted.portsQuoted = true;
  } else {
    quoted.protocol = static_cast<std::uint8_t>(protocol);
    quoted.source = quoted.source.withPort(0);
    quoted.destination = quoted.destination.withPort(0);
  }
  quoted.transport.insert(quoted.transport.end(), given.begin(), given.end());
  out = std::move(error);
  return ErrorRead::Error;
}

}  // namespace connchk::platform
