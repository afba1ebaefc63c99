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

// How much a program may go on without its log: a program someone watches is told at once and
// goes on; one that runs unattended (the probe exporter) must not lose its lines unseen.
enum class LogFolderNeed { Usual, Unattended };

// For main: `requested` is the value of --log-dir (empty when not given). A requested folder that
// cannot take the log file is refused: false, with the reason on stderr (the program exits 2).
// The executable's folder is kept even if it cannot be written, as the log has always done, but
// the program says so on stderr at once; Unattended refuses it then, and refuses a folder of
// installed programs (/usr/bin and the like) as well.
bool chooseLogDirectory(const char* program, const std::string& requested, const std::string& fileName,
                        LogFolderNeed need = LogFolderNeed::Usual);

// True for the system's folders of programs (/usr/bin, /usr/local/sbin ...), "/" at the end or not.
bool isProgramFolder(const std::string& directory);

}  // namespace connchk
