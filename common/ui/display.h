// Whether a window can open: a display to show it on, or a Qt platform chosen by hand.
#pragma once

#include <string>

namespace connchk::ui {

inline constexpr const char* NoDisplayNote = "no display (DISPLAY and WAYLAND_DISPLAY are unset): running in the terminal";

// Empty when a window can open; otherwise the one-line note that says why not. A local X display
// named in DISPLAY is asked whether it answers, so that a stale DISPLAY falls back to the terminal
// instead of ending the program; a display on another host is taken as given.
std::string displayProblem();

}  // namespace connchk::ui
