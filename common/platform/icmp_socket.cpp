#include "common/platform/icmp_socket.h"

#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "common/platform/sockets.h"

namespace connchk::platform {
namespace {

int icmpProtocol(Family family) { return family == Family::IPv4 ? int{IPPROTO_ICMP} : int{IPPROTO_ICMPV6}; }
const char* icmpName(Family family) { return family == Family::IPv4 ? "ICMP" : "ICMPv6"; }

// The groups allowed to open ICMP datagram sockets in this network namespace, e.g. "1 0" (none).
std::string pingGroupRange() {
  std::ifstream setting("/proc/sys/net/ipv4/ping_group_range");
  long low = 0, high = 0;
  if (!(setting >> low >> high)) return "?";
  return std::to_string(low) + " " + std::to_string(high);
}

// The raw socket was refused with `rawCode`, the datagram socket with `code`. The error carries
// the raw socket's code: the right it lacked is the one named first.
Error noRight(Family family, int rawCode, int code) {
  std::ostringstream why;
  why << "Нет права открыть сокет " << icmpName(family) << ": нужно право CAP_NET_RAW (root или setcap cap_net_raw+ep)";
  if (code == EACCES || code == EPERM) {
    why << " либо группа пользователя (" << getegid() << ") в net.ipv4.ping_group_range (сейчас " << pingGroupRange()
        << ")";
  } else {
    why << "; сокеты " << icmpName(family) << " без права система не дает (ошибка " << code << ")";
  }
  return Error{"socket", rawCode, why.str()};
}

// A raw ICMPv6 socket sees all ICMPv6 traffic, neighbour discovery included; echo requests (and,
// for a client, replies) are all we want.
Status passEcho(int fd, bool replies) {
  icmp6_filter filter{};
  ICMP6_FILTER_SETBLOCKALL(&filter);
  ICMP6_FILTER_SETPASS(ICMP6_ECHO_REQUEST, &filter);
  if (replies) ICMP6_FILTER_SETPASS(ICMP6_ECHO_REPLY, &filter);
  if (::setsockopt(fd, IPPROTO_ICMPV6, ICMP6_FILTER, &filter, sizeof filter) != 0) return lastError("setsockopt");
  return {};
}

}  // namespace

Status passOnlyEchoRequests(int fd) { return passEcho(fd, false); }

Result<IcmpEchoSocket> openIcmpEchoSocket(Family family) {
  Result<Socket> raw = openSocket(family, SOCK_RAW, icmpProtocol(family));
  if (raw) {
    if (family == Family::IPv6) {
      if (const Status filtered = passEcho(raw->fd(), true); !filtered) {
        const int code = filtered.code();
        return Error{"setsockopt", code, "Ошибка " + std::to_string(code) + " при настройке сокета ICMPv6"};
      }
    }
    return IcmpEchoSocket{std::move(*raw), family, EchoSocketKind::Raw};
  }
  const int rawCode = raw.code();
  if (rawCode != EPERM && rawCode != EACCES) {
    return Error{"socket", rawCode, "Ошибка " + std::to_string(rawCode) + " при открытии сокета " + icmpName(family)};
  }
  Result<Socket> datagram = openSocket(family, SOCK_DGRAM, icmpProtocol(family));
  if (!datagram) return noRight(family, rawCode, datagram.code());
  return IcmpEchoSocket{std::move(*datagram), family, EchoSocketKind::Datagram};
}

Status bindEchoIdentifier(const IcmpEchoSocket& socket, std::uint16_t identifier) {
  if (socket.kind == EchoSocketKind::Raw) return {};
  if (identifier == 0) return Error{"bind", EINVAL, "Идентификатор 0 нельзя задать сокету ICMP без права"};
  // The kernel writes the socket's "port" bytes into the identifier field as they stand.
  const std::uint8_t wire[2] = {static_cast<std::uint8_t>(identifier & 0xFF), static_cast<std::uint8_t>(identifier >> 8)};
  sockaddr_storage any{};
  const socklen_t length = Address::any(socket.family).toSockaddr(any);
  std::memcpy(reinterpret_cast<std::uint8_t*>(&any) + offsetof(sockaddr_in, sin_port), wire, 2);
  static_assert(offsetof(sockaddr_in, sin_port) == offsetof(sockaddr_in6, sin6_port));
  if (::bind(socket.socket.fd(), reinterpret_cast<const sockaddr*>(&any), length) == 0) return {};
  Error error = lastError("bind");
  error.text = error.code == EADDRINUSE ? "Идентификатор " + std::to_string(identifier) + " занят другим сокетом ICMP"
                                        : "Ошибка bind " + std::to_string(error.code);
  return error;
}

std::optional<std::uint16_t> echoIdentifier(const IcmpEchoSocket& socket) {
  if (socket.kind == EchoSocketKind::Raw) return std::nullopt;
  sockaddr_storage local{};
  socklen_t length = sizeof local;
  if (::getsockname(socket.socket.fd(), reinterpret_cast<sockaddr*>(&local), &length) != 0) return std::nullopt;
  std::uint8_t wire[2];
  std::memcpy(wire, reinterpret_cast<const std::uint8_t*>(&local) + offsetof(sockaddr_in, sin_port), 2);
  const std::uint16_t identifier = static_cast<std::uint16_t>(wire[0] | wire[1] << 8);
  if (identifier == 0) return std::nullopt;
  return identifier;
}

}  // namespace connchk::platform
