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

namespace connchk {

std::string asciiLower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::optional<std::uint32_t> parseDigits(std::string_view text, std::size_t maxDigits) {
  if (text.empty() || text.size() > maxDigits || text.size() > 9) return std::nullopt;
  std::uint32_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
  }
  return value;
}

std::string millisecondsText(std::int64_t microseconds) {
  const std::uint64_t magnitude =
      microseconds < 0 ? 0 - static_cast<std::uint64_t>(microseconds) : static_cast<std::uint64_t>(microseconds);
  return format("%s%llu.%03llu", microseconds < 0 ? "-" : "", static_cast<unsigned long long>(magnitude / 1000),
                static_cast<unsigned long long>(magnitude % 1000));
}

std::size_t utf8Characters(std::string_view text) {
  std::size_t count = 0;
  for (const char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++count;
  }
  return count;
}

}  // namespace connchk
