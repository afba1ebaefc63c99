#include "common/text_format.h"

#include <cstdarg>
#include <cstdio>

namespace connchk {

std::string format(const char* fmt, ...) {
  char small[512];
  va_list args;
  va_start(args, fmt);
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(small, sizeof small, fmt, args);
  va_end(args);
  if (n < 0) {
    va_end(again);
    return {};
  }
  if (static_cast<std::size_t>(n) < sizeof small) {
    va_end(again);
    return std::string(small, static_cast<std::size_t>(n));
  }
  std::string out(static_cast<std::size_t>(n) + 1, '\0');
  std::vsnprintf(out.data(), out.size(), fmt, again);
  va_end(again);
  out.resize(static_cast<std::size_t>(n));
  return out;
}

}  // namespace connchk
