#include "common/cp1251.h"

#include <iconv.h>

#include <array>
#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace connchk {
namespace {

// Code points of the bytes 0x80..0xFF, asked of the C library's converter once; 0 where the byte
// has no character.
struct Table {
  std::array<char32_t, 128> upper{};
  std::unordered_map<char32_t, unsigned char> reverse;
};

const Table& table() {
  static const Table t = [] {
    Table built;
    iconv_t cd = iconv_open("UTF-32LE", "CP1251");
    if (cd == reinterpret_cast<iconv_t>(-1)) return built;
    for (int b = 0x80; b <= 0xFF; ++b) {
      char in = static_cast<char>(b);
      unsigned char out[8] = {};
      char* inp = &in;
      char* outp = reinterpret_cast<char*>(out);
      size_t inLeft = 1, outLeft = sizeof out;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
      if (iconv(cd, &inp, &inLeft, &outp, &outLeft) == static_cast<size_t>(-1)) continue;
      if (sizeof out - outLeft != 4) continue;
      const char32_t cp = out[0] | (out[1] << 8) | (out[2] << 16) | (static_cast<char32_t>(out[3]) << 24);
      built.upper[b - 0x80] = cp;
      built.reverse.emplace(cp, static_cast<unsigned char>(b));
    }
    iconv_close(cd);
    return built;
  }();
  return t;
}

// Decodes one UTF-8 sequence at s[i]; returns false (and advances one byte) on a bad sequence.
bool decode(std::string_view s, std::size_t& i, char32_t& cp) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char lead = byte(i);
  int extra = 0;
  if (lead < 0x80) { cp = lead; ++i; return true; }
  if ((lead & 0xE0) == 0xC0) { extra = 1; cp = lead & 0x1F; }
  else if ((lead & 0xF0) == 0xE0) { extra = 2; cp = lead & 0x0F; }
  else if ((lead & 0xF8) == 0xF0) { extra = 3; cp = lead & 0x07; }
  else { ++i; return false; }
  if (i + extra >= s.size()) { ++i; return false; }
  for (int k = 1; k <= extra; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) { ++i; return false; }
    cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  i += static_cast<std::size_t>(extra) + 1;
  return true;
}

void appendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

std::string toWindows1251(const std::string& utf8) {
  std::string out;
  out.reserve(utf8.size());
  appendWindows1251(out, utf8);
  return out;
}

void appendWindows1251(std::string& out, std::string_view utf8) {
  const Table& t = table();
  for (std::size_t i = 0; i < utf8.size();) {
    char32_t cp = 0;
    if (!decode(utf8, i, cp)) { out += '?'; continue; }
    if (cp < 0x80) { out += static_cast<char>(cp); continue; }
    // А..я, most of every log line, stand in one run in both tables: no look-up needed.
    if (cp >= 0x410 && cp <= 0x44F) { out += static_cast<char>(0xC0 + (cp - 0x410)); continue; }
    const auto hit = t.reverse.find(cp);
    out += hit == t.reverse.end() ? '?' : static_cast<char>(hit->second);
  }
}

std::string fromWindows1251(const std::string& bytes) {
  const Table& t = table();
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x80) { out += c; continue; }
    const char32_t cp = t.upper[b - 0x80];
    appendUtf8(out, cp == 0 ? U'?' : cp);
  }
  return out;
}

}  // namespace connchk
