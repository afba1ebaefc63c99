#include "common/platform/way_out.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/platform/sockets.h"

namespace connchk::platform {
namespace {

// What Linux takes as an interface name: 1 to IFNAMSIZ - 1 bytes, no '/' and no blank; ':' is
// left out as well, since a text with one is an address that did not parse.
bool possibleInterfaceName(const std::string& text) {
  if (text.empty() || text.size() >= IFNAMSIZ || text == "." || text == "..") return false;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '/' || c == ':' || byte <= ' ' || byte == 0x7F) return false;
  }
  return true;
}

// The interface's flags, or nullopt when there is no such interface.
std::optional<unsigned> interfaceFlags(const std::string& name) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::nullopt;
  ifreq request{};
  std::memcpy(request.ifr_name, name.c_str(), name.size());  // shorter than IFNAMSIZ, checked
  const int rc = ::ioctl(fd, SIOCGIFFLAGS, &request);
  ::close(fd);
  if (rc != 0) return std::nullopt;
  return static_cast<unsigned short>(request.ifr_flags);
}

// Whether one of this host's interfaces holds `address` (the zone, where given, must match).
bool heldByThisHost(const Address& address) {
  sockaddr_storage wanted{};
  address.toSockaddr(wanted, address.family());
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return false;
  bool held = false;
  for (const ifaddrs* entry = list; entry != nullptr && !held; entry = entry->ifa_next) {
    const sockaddr* own = entry->ifa_addr;
    if (own == nullptr || own->sa_family != wanted.ss_family) continue;
    if (own->sa_family == AF_INET) {
      const auto& a = reinterpret_cast<const sockaddr_in*>(own)->sin_addr;
      held = std::memcmp(&a, &reinterpret_cast<const sockaddr_in*>(&wanted)->sin_addr, sizeof a) == 0;
    } else {
      const auto* a = reinterpret_cast<const sockaddr_in6*>(own);
      const auto* b = reinterpret_cast<const sockaddr_in6*>(&wanted);
      held = std::memcmp(&a->sin6_addr, &b->sin6_addr, sizeof a->sin6_addr) == 0 &&
             (b->sin6_scope_id == 0 || a->sin6_scope_id == b->sin6_scope_id);
    }
  }
  ::freeifaddrs(list);
  return held;
}

Status setHopLimit(int fd, Family family, int hops) {
  const bool four = family == Family::IPv4;
  if (::setsockopt(fd, four ? IPPROTO_IP : IPPROTO_IPV6, four ? IP_TTL : IPV6_UNICAST_HOPS, &hops, sizeof hops) == 0) {
    return {};
  }
  Error error = lastError(four ? "setsockopt IP_TTL" : "setsockopt IPV6_UNICAST_HOPS");
  error.text = "Ошибка " + std::to_string(error.code) + " при установке TTL " + std::to_string(hops);
  return error;
}

Status tieToInterface(int fd, const std::string& name) {
  if (::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, name.c_str(), static_cast<socklen_t>(name.size())) == 0) {
    return {};
  }
  Error error = lastError("SO_BINDTODEVICE");
  error.text = error.code == EPERM || error.code == EACCES
                   ? "Нет права на привязку к интерфейсу " + name + " (CAP_NET_RAW): нужен root или setcap cap_net_raw+ep"
                   : "Ошибка " + std::to_string(error.code) + " при привязке к интерфейсу " + name;
  return error;
}

}  // namespace

std::optional<WayOut> parseWayOut(const std::string& text, std::string& problem) {
  WayOut way;
  way.name = text;
  if (const auto address = Address::parse(text)) {
    way.kind = WayOut::Kind::Address;
    way.address = *address;
    return way;
  }
  if (!possibleInterfaceName(text)) {
    problem = "\"" + text + "\" is neither an address nor an interface name";
    return std::nullopt;
  }
  way.kind = WayOut::Kind::Interface;
  return way;
}

std::optional<LabelledWay> parseLabelledWay(const std::string& text, std::string& problem) {
  const auto equals = text.find('=');
  const std::string label = equals == std::string::npos ? text : text.substr(0, equals);
  const std::string wayText = equals == std::string::npos ? text : text.substr(equals + 1);
  if (equals != std::string::npos) {
    const bool fit = !label.empty() && label.size() <= 32 &&
                     label.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_.") ==
                         std::string::npos;
    if (!fit) {
      problem = "\"" + label + "\" is no label: use 1 to 32 letters, digits, '-', '_' or '.'";
      return std::nullopt;
    }
  }
  auto way = parseWayOut(wayText, problem);
  if (!way) return std::nullopt;
  return LabelledWay{label, *way};
}

WayOutFault wayOutFault(const WayOut& way) {
  switch (way.kind) {
    case WayOut::Kind::Table: return WayOutFault::None;
    case WayOut::Kind::Interface: {
      const auto flags = interfaceFlags(way.name);
      if (!flags) return WayOutFault::NoSuchInterface;
      return (*flags & IFF_UP) == 0 ? WayOutFault::InterfaceDown : WayOutFault::None;
    }
    case WayOut::Kind::Address:
      return heldByThisHost(way.address) ? WayOutFault::None : WayOutFault::NotThisHostsAddress;
  }
  return WayOutFault::None;
}

std::string wayOutProblem(const WayOut& way) {
  switch (wayOutFault(way)) {
    case WayOutFault::None: return {};
    case WayOutFault::NoSuchInterface: return "no interface " + way.name + " on this host";
    case WayOutFault::InterfaceDown: return "interface " + way.name + " is down";
    case WayOutFault::NotThisHostsAddress: return way.address.text() + " is not an address of this host";
  }
  return {};
}

Status applyWayOut(int fd, Family family, const WayOut& way, std::uint16_t localPort) {
  if (way.hopLimit != 0) {
    if (Status set = setHopLimit(fd, family, way.hopLimit); !set) return set;
  }
  if (way.kind == WayOut::Kind::Interface) {
    if (Status tied = tieToInterface(fd, way.name); !tied) return tied;
  }
  const bool fromAddress = way.kind == WayOut::Kind::Address;
  if (fromAddress && way.address.family() != family) {
    return Error{"bind", EAFNOSUPPORT,
                 "Адрес " + way.address.text() + " не того семейства, что адрес сервера (" + familyName(family) + ")"};
  }
  if (!fromAddress && localPort == 0) return {};
  Status bound = bindTo(fd, fromAddress ? way.address.withPort(localPort) : Address::any(family, localPort));
  if (!bound) return Error{"bind", bound.code(), "Ошибка bind " + std::to_string(bound.code())};
  return bound;
}

std::string wayOutPhrase(const WayOut& way) {
  std::string phrase;
  if (way.kind == WayOut::Kind::Interface) phrase = " через интерфейс " + way.name;
  if (way.kind == WayOut::Kind::Address) phrase = " с адреса " + way.address.text();
  if (way.hopLimit != 0) phrase += ", TTL " + std::to_string(way.hopLimit);
  return phrase;
}

}  // namespace connchk::platform
