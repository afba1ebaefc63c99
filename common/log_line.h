// A log line made in both of its forms at once: UTF-8 for the window and the terminal, and the
// Windows-1251 bytes of the file. Fixed texts are LogText values whose Windows-1251 form is made
// once; numbers and addresses are ASCII, the same bytes in both forms. A LogLine keeps its buffers
// from line to line, so that a thread that logs the same kinds of lines over and over makes them
// without allocating and without converting text.
#pragma once

#include <charconv>
#include <string>
#include <string_view>
#include <vector>

#include "common/cp1251.h"

namespace connchk {

class LogText {
 public:
  explicit LogText(std::string_view utf8) : utf8_(utf8), cp1251_(toWindows1251(utf8_)) {}
  const std::string& utf8() const { return utf8_; }
  const std::string& cp1251() const { return cp1251_; }

 private:
  std::string utf8_;
  std::string cp1251_;
};

class LogLine {
 public:
  LogLine& clear() {
    utf8_.clear();
    cp1251_.clear();
    return *this;
  }
  LogLine& operator<<(const LogText& fixed) {
    utf8_ += fixed.utf8();
    cp1251_ += fixed.cp1251();
    return *this;
  }
  LogLine& operator<<(const LogLine& other) {
    utf8_ += other.utf8_;
    cp1251_ += other.cp1251_;
    return *this;
  }
  // Text of ASCII characters only (digits, an address): the same bytes in both forms.
  LogLine& ascii(std::string_view text) {
    utf8_ += text;
    cp1251_ += text;
    return *this;
  }
  // Decimal, as printf's %d / %u / %lu / %llu write it.
  template <typename Integer>
  LogLine& number(Integer value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    return ascii(std::string_view(digits, static_cast<std::size_t>(end - digits)));
  }
  // Any other UTF-8 text: converted here, character by character.
  LogLine& utf8(std::string_view text) {
    utf8_ += text;
    appendWindows1251(cp1251_, text);
    return *this;
  }

  const std::string& utf8() const { return utf8_; }
  const std::string& cp1251() const { return cp1251_; }

 private:
  std::string utf8_;
  std::string cp1251_;
};

// Lines made one after another and handed to the log in one go (a batch of requests' lines):
// one lock of the log and of its view for all of them.
class LogLines {
 public:
  void clear() {
    utf8_.clear();
    cp1251_.clear();
    ends_.clear();
  }
  void add(const LogLine& line) {
    utf8_ += line.utf8();
    cp1251_ += line.cp1251();
    ends_.push_back({utf8_.size(), cp1251_.size()});
  }
  bool empty() const { return ends_.empty(); }
  std::size_t size() const { return ends_.size(); }
  std::string_view utf8(std::size_t i) const { return part(utf8_, i, &Ends::utf8); }
  std::string_view cp1251(std::size_t i) const { return part(cp1251_, i, &Ends::cp1251); }

 private:
  struct Ends {
    std::size_t utf8;
    std::size_t cp1251;
  };
  std::string_view part(const std::string& text, std::size_t i, std::size_t Ends::*which) const {
    const std::size_t from = i == 0 ? 0 : ends_[i - 1].*which;
    return std::string_view(text).substr(from, ends_[i].*which - from);
  }

  std::string utf8_;
  std::string cp1251_;
  std::vector<Ends> ends_;
};

}  // namespace connchk
