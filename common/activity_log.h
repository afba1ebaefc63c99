// The activity log: every step of a program's work as one line, shown at the bottom of a view and
// appended to a file beside the executable. One ActivityLog per process; lines of different
// threads never interleave and keep one order in the view and in the file.
//
// Nobody who logs ever waits for a window, a terminal, an alert or the disk: a call hands its line
// to the view (which queues it) and to the log's writer thread, which holds the file open and
// writes what has gathered at least every FlushPeriod, in one write, whole lines only. A write
// that fails or is cut short is counted as lost lines, raises the alert once, and when writing
// works again one more line says how many were lost.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/log_line.h"
#include "common/platform/files.h"

namespace connchk {

// The client stamps its lines with the local time and ends file lines with CR LF; the server
// writes the message alone and ends file lines with LF CR.
enum class LogStyle { Client, Server };

// Where a front-end shows lines: a list in the window, or the terminal.
class LogView {
 public:
  virtual ~LogView() = default;
  // Called in the order of the lines, under the log's lock: queues the line and returns at once.
  virtual void appendLine(const std::string& line) = 0;
  // The same for several lines at once (their UTF-8 forms), in order.
  virtual void appendLines(const LogLines& lines) {
    for (std::size_t i = 0; i < lines.size(); ++i) appendLine(std::string(lines.utf8(i)));
  }
  // The log has closed for the end of the program: show what is still queued, within `limit`.
  virtual void finish(std::chrono::milliseconds /*limit*/) {}
};

// Shown by the front-end when the log file cannot be opened or written, once for each spell of
// failures. Called on the log's writer thread; it must not wait (a message box is posted).
using LogAlert = std::function<void(const std::string& message)>;

inline constexpr const char* LogFileAlertText = "Ошибка при создании log-файла!";
inline constexpr const char* LogWriteAlertText = "Ошибка при записи в log-файл!";
// Logged when lines could be written again after some could not.
inline constexpr const char* LinesLostFormat = "Потеряно строк протокола: %llu";
inline constexpr const char* ClientLogFileName = "client_log.txt";
inline constexpr const char* ServerLogFileName = "server_log.txt";

// A view holds at most 100 lines: after an insertion that makes it longer, the second line goes,
// so the first line ever shown stays at the top. Returns the index to delete, or -1.
inline constexpr int LogViewCapacity = 100;
int lineToDropAfterInsert(int countAfterInsert);

class ActivityLog {
 public:
  // How long a line may wait for the writer; a SIGKILL loses at most the lines of this span.
  static constexpr std::chrono::milliseconds FlushPeriod{2};
  // Lines waiting for the writer beyond this many bytes (a disk that stalls) are lost, counted.
  static constexpr std::size_t PendingLimit = 16u << 20;

  // The file is `fileName` in logDirectory() (the executable's folder unless --log-dir chose
  // another), found at the first log call.
  ActivityLog(LogStyle style, std::string fileName);
  // Writes what is still waiting, then stops the writer.
  ~ActivityLog();
  ActivityLog(const ActivityLog&) = delete;
  ActivityLog& operator=(const ActivityLog&) = delete;

  // The file at exactly `path` (tests).
  static ActivityLog atPath(LogStyle style, std::string path);

  // Both wait for a call of the view or alert being set aside that is under way.
  void setView(LogView* view);
  void setAlert(LogAlert alert);

  // Appends one line: to the view at once, to the file within FlushPeriod. Never fails and never
  // waits for the file.
  void log(const std::string& text);
  // The same for a line made in both forms (see LogLine): nothing is converted or allocated, so
  // a thread that logs a line for every request pays little more than a lock for it. The view is
  // given the UTF-8 form, the file the Windows-1251 bytes.
  void log(const LogLine& message);
  // Several lines at once, in order, with one lock for all of them.
  void log(const LogLines& messages);

  // Waits (at most `limit`) until every line logged so far is in the file or counted lost.
  bool flush(std::chrono::milliseconds limit = std::chrono::seconds(10));

  // For the end of the program (Exit, a signal): takes no line from now on, waits (at most two
  // seconds) until every line logged is in the file, and lets the view show what it still holds.
  void closeForExit();

  // Lets go of the file so that the next line opens it anew by its name (log rotation, SIGHUP).
  // The file is also opened anew when a check (at most once a second) finds it renamed or removed.
  void reopen();

  // Lines that could not be written to the file since start-up.
  std::uint64_t linesLost() const;

  std::string filePath();

  // The line as a view shows it (client: "[HH:mm:ss] " + text), and its bytes in the file.
  static std::string viewLine(LogStyle style, const std::string& timeOfDay, const std::string& text);
  static std::string fileBytes(LogStyle style, const std::string& viewLine);
  static void appendFileBytes(std::string& out, LogStyle style, const std::string& viewLine);

 private:
  ActivityLog(LogStyle style, std::string fileName, std::optional<std::string> path);

  // What the writer takes from the waiting lines in one go: their file bytes, and where each
  // line ends in them.
  struct Batch {
    std::string bytes;
    std::vector<std::size_t> lineEnds;
    std::uint64_t refused = 0;  // lines refused while too many waited
    std::string path;
    bool reopen = false;
  };

  // Takes a whole line (with the client's time stamp) for the view and the file.
  void take(const LogLine& line);
  // Under the lock: the file bytes of one line (with its line end) join the waiting ones.
  void queueForFile(std::string_view cp1251);
  void wakeWriter();
  void writerLoop();
  // Writes one batch; returns how many of its lines are lost.
  std::uint64_t writeBatch(const Batch& batch);
  void alert(const char* text);
  const std::string& pathLocked();

  mutable std::mutex mutex_;
  std::condition_variable wake_;     // the writer waits here for lines
  std::condition_variable settled_;  // flush() waits here for the writer
  LogStyle style_;
  std::string fileName_;
  std::optional<std::string> path_;
  LogView* view_ = nullptr;
  std::string waiting_;                    // file bytes of the lines not yet taken by the writer
  std::vector<std::size_t> waitingEnds_;   // where each of those lines ends
  std::uint64_t refused_ = 0;
  std::uint64_t accepted_ = 0;  // lines taken since start-up
  std::uint64_t done_ = 0;      // of those, written or counted lost
  std::uint64_t lost_ = 0;
  bool writerIdle_ = false;
  bool flushWanted_ = false;
  bool reopenWanted_ = false;
  bool stopping_ = false;
  bool closed_ = false;
  std::thread writer_;

  // The alert, called by the writer outside the lines' lock.
  std::mutex alertMutex_;
  LogAlert alert_;

  // The writer's own.
  platform::AppendFile file_;
  std::chrono::steady_clock::time_point lastNameCheck_{};
  bool failing_ = false;
  std::uint64_t unreported_ = 0;
};

}  // namespace connchk
