#include "common/platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace connchk::platform {

std::string executableDirectory() {
  char path[1025];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return {};
  std::string full(path, static_cast<std::size_t>(n));
  const auto slash = full.rfind('/');
  return slash == std::string::npos ? std::string{} : full.substr(0, slash + 1);
}

AppendFile::~AppendFile() { close(); }

bool AppendFile::open(const std::string& path) {
  close();
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  // With stdin, stdout or stderr closed the file would take its number, and whatever is printed
  // there would land in the log: keep it above them.
  if (fd <= STDERR_FILENO) {
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int error = errno;
    ::close(fd);
    if (moved < 0) {
      errno = error;
      return false;
    }
    fd = moved;
  }
  fd_ = fd;
  return true;
}

void AppendFile::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool AppendFile::stillNamedBy(const std::string& path) const {
  struct stat named {}, held {};
  if (fd_ < 0 || ::stat(path.c_str(), &named) != 0 || fstat(fd_, &held) != 0) return false;
  return named.st_dev == held.st_dev && named.st_ino == held.st_ino;
}

std::size_t AppendFile::appendLines(const std::string& bytes, const std::vector<std::size_t>& lineEnds) {
  if (fd_ < 0) return 0;
  std::size_t done = 0;
  int error = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : EIO;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  // The lines that went out whole; the start of a cut line is taken back out of the file.
  const auto whole = std::upper_bound(lineEnds.begin(), lineEnds.end(), done) - lineEnds.begin();
  const std::size_t kept = whole > 0 ? lineEnds[static_cast<std::size_t>(whole - 1)] : 0;
  if (kept < done) {
    struct stat now {};
    if (fstat(fd_, &now) == 0 && now.st_size >= static_cast<off_t>(done - kept)) {
      while (ftruncate(fd_, now.st_size - static_cast<off_t>(done - kept)) != 0 && errno == EINTR) {
      }
    }
  }
  if (error != 0) errno = error;
  return static_cast<std::size_t>(whole);
}

}  // namespace connchk::platform
