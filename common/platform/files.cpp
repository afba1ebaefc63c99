#include "common/platform/files.h"

#include <fcntl.h>
#include <unistd.h>

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

bool appendToFile(const std::string& path, const std::string& bytes) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
  return true;
}

}  // namespace connchk::platform
