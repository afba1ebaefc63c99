// Small text helpers both programs share: printf-style formatting into a std::string, ASCII letter
// case, whole numbers typed by an operator, and UTF-8 character counts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace connchk {

// Only literal formats are ever passed: nothing received or typed is used as a format.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Letter case folded for ASCII only; other bytes (Cyrillic in UTF-8) stay as they are.
std::string asciiLower(std::string text);

// `text` as a whole number of 1 to `maxDigits` decimal digits (no sign, space or other character;
// maxDigits at most 9, so the value always fits), or nothing.
std::optional<std::uint32_t> parseDigits(std::string_view text, std::size_t maxDigits);

// Microseconds as milliseconds with three decimals: 1234 -> "1.234", -5 -> "-0.005".
std::string millisecondsText(std::int64_t microseconds);

// The characters of UTF-8 text (bytes that do not continue a character).
std::size_t utf8Characters(std::string_view text);

}  // namespace connchk
