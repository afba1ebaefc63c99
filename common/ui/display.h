// Whether a window can open: a display to show it on, or a Qt platform chosen by hand.
#pragma once

#include <cstdlib>
#include <initializer_list>

namespace connchk::ui {

inline bool displayAvailable() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    const char* value = std::getenv(name);
    if (value && *value) return true;
  }
  return false;
}

inline constexpr const char* NoDisplayNote = "no display (DISPLAY and WAYLAND_DISPLAY are unset): running in the terminal";

}  // namespace connchk::ui
