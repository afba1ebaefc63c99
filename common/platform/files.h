// The files the programs write: the log file beside the executable, appended one line at a time.
#pragma once

#include <string>

namespace connchk::platform {

// The directory of the running executable, with its trailing "/"; empty when it cannot be read,
// so that a file name joined to it names a file in the current directory.
std::string executableDirectory();

// Opens (or creates, mode 0644) the file for appending, writes `bytes` in one call and closes it.
// Returns false only when the file cannot be opened or created; write errors are not reported.
bool appendToFile(const std::string& path, const std::string& bytes);

}  // namespace connchk::platform
