// The files the programs write: the log file beside the executable, held open and appended to
// in whole lines.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

namespace connchk::platform {

// The directory of the running executable, with its trailing "/"; empty when it cannot be read,
// so that a file name joined to it names a file in the current directory.
std::string executableDirectory();

// A file held open for appending (created with mode 0644). A write that fails or is cut short
// leaves no part of a line behind: the cut line is truncated away again.
class AppendFile {
 public:
  AppendFile() = default;
  ~AppendFile();
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;

  // Opens (or creates) `path`; false, with errno, when it cannot.
  bool open(const std::string& path);
  bool isOpen() const { return fd_ >= 0; }
  void close();

  // Whether `path` still names the open file: false once it has been renamed or removed.
  bool stillNamedBy(const std::string& path) const;

  // Appends `bytes`, which hold whole lines ending at the offsets `lineEnds`, and returns how many
  // of those lines are in the file, whole. Fewer than all means the write failed (errno tells why).
  std::size_t appendLines(const std::string& bytes, const std::vector<std::size_t>& lineEnds);

 private:
  int fd_ = -1;
};

}  // namespace connchk::platform
