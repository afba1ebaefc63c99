// Whether a window can open: a display to show it on, or a Qt platform chosen by hand.
#pragma once

#include <string>

namespace connchk::ui {

inline constexpr const char* NoDisplayNote = "no display (DISPLAY and WAYLAND_DISPLAY are unset): running in the terminal";

// Empty when a window can open; otherwise the one-line note that says why not. The X display
// named in DISPLAY is asked whether it answers (its socket on this host, or its TCP port on
// another, within two seconds), so that a stale DISPLAY, such as the forwarded one of an ended
// ssh session, falls back to the terminal instead of ending the program.
std::string displayProblem();

}  // namespace connchk::ui
