#include "tests/support/small_disk.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace connchk::testing {
namespace {

// Enters a mount namespace of the process's own, once, with nothing shared back to the machine.
std::string enterPrivateMounts() {
  static std::string problem = [] {
    if (unshare(CLONE_NEWNS) != 0) {
      return std::string("unshare(CLONE_NEWNS) failed: ") + std::strerror(errno) + " (needs root and one thread)";
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      return std::string("cannot make the mounts private: ") + std::strerror(errno);
    }
    return std::string();
  }();
  return problem;
}

}  // namespace

SmallDisk::SmallDisk(std::string folder, std::size_t bytes) : folder_(std::move(folder)) {
  problem_ = enterPrivateMounts();
  if (!problem_.empty()) return;
  mkdir(folder_.c_str(), 0755);
  const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
  if (mount("tmpfs", folder_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
    problem_ = std::string("cannot mount a tmpfs: ") + std::strerror(errno);
    return;
  }
  mounted_ = true;
}

SmallDisk::~SmallDisk() {
  if (mounted_) umount2(folder_.c_str(), MNT_DETACH);
  rmdir(folder_.c_str());
}

bool SmallDisk::fill() {
  const int fd = open((folder_ + "/filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const std::vector<char> block(4096, 'f');
  // Whole blocks first, then byte by byte into the last one.
  for (std::size_t size = block.size(); size > 0; size = size > 1 ? size / 2 : 0) {
    while (write(fd, block.data(), size) == static_cast<ssize_t>(size)) {
    }
  }
  close(fd);
  return errno == ENOSPC;
}

void SmallDisk::release() { unlink((folder_ + "/filler").c_str()); }

}  // namespace connchk::testing
