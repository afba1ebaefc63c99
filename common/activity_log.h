// The activity log: every step of a program's work as one line, shown at the bottom of a view and
// appended to a file beside the executable. One ActivityLog per process; calls are serialised, so
// lines of different threads never interleave and keep one order in the view and in the file.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace connchk {

// The client stamps its lines with the local time and ends file lines with CR LF; the server
// writes the message alone and ends file lines with LF CR.
enum class LogStyle { Client, Server };

// Where a front-end shows lines: a list in the window, or the terminal.
class LogView {
 public:
  virtual ~LogView() = default;
  virtual void appendLine(const std::string& line) = 0;
};

// Shown by the front-end when the log file cannot be opened or created; `log` waits for it.
using LogAlert = std::function<void(const std::string& message)>;

inline constexpr const char* LogFileAlertText = "Ошибка при создании log-файла!";
inline constexpr const char* ClientLogFileName = "client_log.txt";
inline constexpr const char* ServerLogFileName = "server_log.txt";

// A view holds at most 100 lines: after an insertion that makes it longer, the second line goes,
// so the first line ever shown stays at the top. Returns the index to delete, or -1.
inline constexpr int LogViewCapacity = 100;
int lineToDropAfterInsert(int countAfterInsert);

class ActivityLog {
 public:
  // The file is `fileName` in logDirectory() (the executable's folder unless --log-dir chose
  // another), found at the first log call.
  ActivityLog(LogStyle style, std::string fileName);

  // The file at exactly `path` (tests).
  static ActivityLog atPath(LogStyle style, std::string path);

  void setView(LogView* view);
  void setAlert(LogAlert alert);

  // Appends one line: to the view, then to the file. Never fails; a file that cannot be opened
  // raises the alert and the line stays in the view only.
  void log(const std::string& text);

  // Waits (at most two seconds) for a line being written to reach its file and lets no other
  // line start: called just before the process ends on a signal, so that no line is shown but
  // not kept.
  void closeForExit();

  // Puts the file in `directory` instead of beside the executable (before the first line).
  void setDirectory(const std::string& directory);

  // Lets go of the file so that the next line opens it anew by its name (log rotation, SIGHUP).
  void reopen();

  // Lines that could not be written to the file since start-up.
  std::uint64_t linesLost() const;

  std::string filePath();
  LogStyle style() const { return style_; }

  // The line as a view shows it (client: "[HH:mm:ss] " + text), and its bytes in the file.
  static std::string viewLine(LogStyle style, const std::string& timeOfDay, const std::string& text);
  static std::string fileBytes(LogStyle style, const std::string& viewLine);

 private:
  ActivityLog(LogStyle style, std::string fileName, std::optional<std::string> path);

  std::mutex mutex_;
  LogStyle style_;
  std::string fileName_;
  std::optional<std::string> path_;
  LogView* view_ = nullptr;
  LogAlert alert_;
};

}  // namespace connchk
