#include "common/platform/connect_probe.h"

#include <netdb.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <cstring>

#include "common/platform/address.h"
#include "common/platform/net.h"
#include "common/platform/socket_wait.h"
#include "common/platform/sockets.h"

namespace connchk::platform {

bool localSocketAccepts(const std::string& path) {
  sockaddr_un address{};
  if (path.size() + 1 > sizeof address.sun_path) return false;
  for (const bool abstract : {true, false}) {
    const Socket socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket.valid()) return false;
    address = {};
    address.sun_family = AF_UNIX;
    const std::size_t offset = abstract ? 1 : 0;  // an abstract name starts with a zero byte
    std::memcpy(address.sun_path + offset, path.data(), path.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size());
    if (::connect(socket.fd(), reinterpret_cast<const sockaddr*>(&address), length) == 0) return true;
  }
  return false;
}

bool tcpPortAccepts(const std::string& host, std::uint16_t port, int ms) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return false;
  bool accepts = false;
  for (const addrinfo* entry = found; entry && !accepts; entry = entry->ai_next) {
    const auto found = Address::fromSockaddr(entry->ai_addr, entry->ai_addrlen);
    if (!found) continue;
    const Address address = found->withPort(port);
    const Result<Socket> socket = openSocket(address.family(), SOCK_STREAM, 0);
    accepts = socket && setNonBlocking(socket->fd()) &&
              connectWithin(socket->fd(), address, ms, {}).end == ConnectEnd::Connected;
  }
  freeaddrinfo(found);
  return accepts;
}

}  // namespace connchk::platform
