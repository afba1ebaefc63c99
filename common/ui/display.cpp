#include "common/ui/display.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace connchk::ui {
namespace {

bool isSet(const char* name) {
  const char* value = std::getenv(name);
  return value && *value;
}

// Where DISPLAY points: an X server on this host (":0", "unix:0") reached through its socket,
// or one on a host ("localhost:10.0", "host:0", "[::1]:0") reached by TCP on port 6000 + N.
struct DisplayAddress {
  std::string host;  // empty: this host's socket
  unsigned number = 0;
};

std::optional<DisplayAddress> parseDisplay(const std::string& display) {
  const std::size_t colon = display.rfind(':');
  if (colon == std::string::npos) return std::nullopt;
  std::string host = display.substr(0, colon);
  std::string number = display.substr(colon + 1);
  number = number.substr(0, number.find('.'));
  if (number.empty() || number.size() > 4) return std::nullopt;
  for (const char c : number) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
  }
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  if (host == "unix") host.clear();
  return DisplayAddress{host, static_cast<unsigned>(std::stoul(number))};
}

// Connects to the X server's socket, the abstract one first, as X clients do.
bool localServerAnswers(unsigned number) {
  const std::string path = "/tmp/.X11-unix/X" + std::to_string(number);
  for (const bool abstract : {true, false}) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t offset = abstract ? 1 : 0;
    std::memcpy(address.sun_path + offset, path.data(), path.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size());
    const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0;
    close(fd);
    if (connected) return true;
  }
  return false;
}

// One TCP connection attempt that gives up after `limit`.
bool connectsWithin(const addrinfo& address, std::chrono::milliseconds limit) {
  const int fd = socket(address.ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  bool connected = connect(fd, address.ai_addr, address.ai_addrlen) == 0;
  if (!connected && errno == EINPROGRESS) {
    pollfd waiting{fd, POLLOUT, 0};
    if (poll(&waiting, 1, static_cast<int>(limit.count())) == 1) {
      int error = 0;
      socklen_t size = sizeof error;
      connected = getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
    }
  }
  close(fd);
  return connected;
}

// Whether anything accepts a connection on the display's TCP port: a forwarded display whose ssh
// session has ended, or a host that is gone, does not.
bool remoteServerAnswers(const DisplayAddress& display) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(6000 + display.number);
  if (getaddrinfo(display.host.c_str(), port.c_str(), &hints, &found) != 0) return false;
  bool answers = false;
  for (const addrinfo* address = found; address && !answers; address = address->ai_next) {
    answers = connectsWithin(*address, std::chrono::milliseconds(2000));
  }
  freeaddrinfo(found);
  return answers;
}

}  // namespace

std::string displayProblem() {
  if (isSet("QT_QPA_PLATFORM") || isSet("WAYLAND_DISPLAY")) return {};
  if (!isSet("DISPLAY")) return NoDisplayNote;
  const std::string display = std::getenv("DISPLAY");
  const std::optional<DisplayAddress> address = parseDisplay(display);
  // A form not understood here is left to the toolkit.
  if (!address) return {};
  const bool answers = address->host.empty() ? localServerAnswers(address->number) : remoteServerAnswers(*address);
  if (answers) return {};
  return "no display (DISPLAY=" + display + " does not answer): running in the terminal";
}

}  // namespace connchk::ui
