// A tiny disk of a test's own: a tmpfs mounted in a private mount namespace that the calling
// process enters (while it has one thread; every child started afterwards shares it), so that a
// test can fill it up and free it again without touching the machine's file systems.
#pragma once

#include <cstddef>
#include <string>

namespace connchk::testing {

class SmallDisk {
 public:
  // Mounts a tmpfs of `bytes` at `folder`, which is made if missing.
  SmallDisk(std::string folder, std::size_t bytes);
  // Unmounts it; what it held is gone.
  ~SmallDisk();
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;

  bool ready() const { return problem_.empty(); }
  const std::string& problem() const { return problem_; }
  const std::string& folder() const { return folder_; }

  // Takes every free byte with a filler file; frees them again.
  bool fill();
  void release();

 private:
  std::string folder_;
  std::string problem_;
  bool mounted_ = false;
};

}  // namespace connchk::testing
