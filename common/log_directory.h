// Where a program keeps its log file: beside its executable, or in the folder named by --log-dir.
// The folder is chosen once in main, before anything logs, and holds for the whole process.
#pragma once

#include <string>

namespace connchk {

// Why this process cannot create `fileName` in `directory` or append to it ("" when it can): the
// folder is missing, is not a folder, or may not be written (rights, a read-only file system).
std::string logFileProblem(const std::string& directory, const std::string& fileName);

// The folder of every ActivityLog made by file name, with a trailing '/': the one chosen by
// chooseLogDirectory, else the executable's.
std::string logDirectory();

// For main: `requested` is the value of --log-dir (empty when not given). A requested folder that
// cannot take the log file is refused: false, with the reason on stderr (the program exits 2).
// The executable's folder is kept even if it cannot be written, as the log has always done, but
// the program says so on stderr at once.
bool chooseLogDirectory(const char* program, const std::string& requested, const std::string& fileName);

}  // namespace connchk
