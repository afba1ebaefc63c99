#include "common/log_directory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <cstdio>
#include <cstring>

#include "common/platform/files.h"

namespace connchk {

namespace {
std::string chosen;  // written once in main before any thread starts

std::string withSlash(std::string directory) {
  if (directory.empty() || directory.back() != '/') directory += '/';
  return directory;
}

// Rights are those of the effective user and its capabilities, as open() will see them.
bool mayAccess(const std::string& path, int mode) { return faccessat(AT_FDCWD, path.c_str(), mode, AT_EACCESS) == 0; }
}  // namespace

std::string logFileProblem(const std::string& directory, const std::string& fileName) {
  struct stat st{};
  if (stat(directory.c_str(), &st) != 0) {
    return errno == ENOENT ? std::string("no such folder") : std::string("cannot reach it (") + std::strerror(errno) + ")";
  }
  if (!S_ISDIR(st.st_mode)) return "not a folder";
  if (!mayAccess(directory, W_OK | X_OK)) return std::string("cannot write there (") + std::strerror(errno) + ")";
  const std::string file = withSlash(directory) + fileName;
  if (mayAccess(file, F_OK) && !mayAccess(file, W_OK)) {
    return "cannot write " + fileName + " there (" + std::strerror(errno) + ")";
  }
  return {};
}

std::string logDirectory() { return chosen.empty() ? platform::executableDirectory() : chosen; }

bool isProgramFolder(const std::string& directory) {
  static const char* const folders[] = {"/bin/",       "/sbin/",           "/usr/bin/",  "/usr/sbin/",
                                        "/usr/local/bin/", "/usr/local/sbin/", "/usr/games/", "/usr/local/games/"};
  const std::string withEnd = withSlash(directory);
  return std::any_of(std::begin(folders), std::end(folders), [&](const char* folder) { return withEnd == folder; });
}

bool chooseLogDirectory(const char* program, const std::string& requested, const std::string& fileName,
                        LogFolderNeed need) {
  if (requested.empty()) {
    const std::string beside = platform::executableDirectory();
    const std::string shown = beside.empty() ? "." : beside;
    const bool unattended = need == LogFolderNeed::Unattended;
    if (unattended && isProgramFolder(shown)) {
      std::fprintf(stderr, "%s: log folder %s (beside the executable) holds installed programs, not logs; "
                   "pass --log-dir DIR\n", program, shown.c_str());
      return false;
    }
    const std::string problem = logFileProblem(shown, fileName);
    if (!problem.empty()) {
      std::fprintf(stderr, "%s: log folder %s (beside the executable): %s; pass --log-dir DIR to keep the log\n",
                   program, shown.c_str(), problem.c_str());
      return !unattended;
    }
    return true;
  }
  const std::string problem = logFileProblem(requested, fileName);
  if (!problem.empty()) {
    std::fprintf(stderr, "%s: --log-dir %s: %s\n", program, requested.c_str(), problem.c_str());
    return false;
  }
  chosen = withSlash(requested);
  return true;
}

}  // namespace connchk
