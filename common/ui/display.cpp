#include "common/ui/display.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace connchk::ui {
namespace {

bool isSet(const char* name) {
  const char* value = std::getenv(name);
  return value && *value;
}

// The display number of a local X display (":0", ":0.0", "unix:0"); empty for any other form.
std::string localDisplayNumber(const std::string& display) {
  std::string rest;
  if (display.rfind(':', 0) == 0) rest = display.substr(1);
  else if (display.rfind("unix:", 0) == 0) rest = display.substr(5);
  else return {};
  rest = rest.substr(0, rest.find('.'));
  for (const char c : rest) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return {};
  }
  return rest;
}

// Connects to the X server's socket, the abstract one first, as X clients do.
bool xServerAnswers(const std::string& number) {
  const std::string path = "/tmp/.X11-unix/X" + number;
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

}  // namespace

std::string displayProblem() {
  if (isSet("QT_QPA_PLATFORM") || isSet("WAYLAND_DISPLAY")) return {};
  if (!isSet("DISPLAY")) return NoDisplayNote;
  const std::string display = std::getenv("DISPLAY");
  const std::string number = localDisplayNumber(display);
  if (number.empty() || xServerAnswers(number)) return {};
  return "no display (DISPLAY=" + display + " does not answer): running in the terminal";
}

}  // namespace connchk::ui
