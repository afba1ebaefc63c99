#include "common/ui/display.h"

#include <cstdint>
#include <cstdlib>
#include <optional>

#include "common/platform/connect_probe.h"
#include "common/text_format.h"

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
  const auto value = parseDigits(number, 4);
  if (!value) return std::nullopt;
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  if (host == "unix") host.clear();
  return DisplayAddress{host, *value};
}

// Whether the X server takes connections: on this host its socket, on another host (a forwarded
// display whose ssh session has ended, or a host that is gone, does not) TCP port 6000 + N, each
// address of the host tried for at most two seconds.
bool serverAnswers(const DisplayAddress& display) {
  if (display.host.empty()) return platform::localSocketAccepts("/tmp/.X11-unix/X" + std::to_string(display.number));
  return platform::tcpPortAccepts(display.host, static_cast<std::uint16_t>(6000 + display.number), 2000);
}

}  // namespace

std::string displayProblem() {
  if (isSet("QT_QPA_PLATFORM") || isSet("WAYLAND_DISPLAY")) return {};
  if (!isSet("DISPLAY")) return NoDisplayNote;
  const std::string display = std::getenv("DISPLAY");
  const std::optional<DisplayAddress> address = parseDisplay(display);
  // A form not understood here is left to the toolkit.
  if (!address) return {};
  if (serverAnswers(*address)) return {};
  return "no display (DISPLAY=" + display + " does not answer): running in the terminal";
}

}  // namespace connchk::ui
