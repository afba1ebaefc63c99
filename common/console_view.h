// The terminal's stand-in for a window's log list: every line goes to stdout, printed by a thread
// of its own so that nobody who logs waits for the terminal. A reader that is slow or gone costs
// printed lines only: past a bound they are dropped, counted, and said once on stderr when
// printing works again. A closed output (EPIPE) ends the printing; the program goes on.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "common/activity_log.h"

namespace connchk {

class ConsoleView : public LogView {
 public:
  // Lines waiting to be printed beyond this many bytes are dropped.
  static constexpr std::size_t PendingLimit = 4u << 20;

  // `pendingLimit` other than PendingLimit lets a test reach the bound with a few lines.
  explicit ConsoleView(std::FILE* out = stdout, std::string prefix = {}, std::size_t pendingLimit = PendingLimit);
  // Prints what is still waiting (at most two seconds), then stops.
  ~ConsoleView() override;
  ConsoleView(const ConsoleView&) = delete;
  ConsoleView& operator=(const ConsoleView&) = delete;

  void appendLine(const std::string& line) override;
  void appendLines(const LogLines& lines) override;
  void finish(std::chrono::milliseconds limit) override;

  // Lines not printed since start-up (dropped for a slow reader, or after the output closed).
  std::uint64_t linesDropped() const;

 private:
  enum class Printed { All, Stopped, Closed };

  // Under mutex_: queues one line, or drops and counts it.
  void queue(std::string_view line);

  void printerLoop();
  // Prints `text` from `done` on, moving `done` past what went out.
  Printed print(const std::string& text, std::size_t& done);
  void sayDropped(std::uint64_t count);

  int fd_;
  bool regularFile_ = false;
  std::string prefix_;
  const std::size_t pendingLimit_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable printed_;
  std::string waiting_;
  std::uint64_t dropped_ = 0;      // since start-up
  std::uint64_t unreported_ = 0;   // dropped, not yet said on stderr
  bool printing_ = false;          // the printer holds text it took
  bool printerIdle_ = false;
  bool hurry_ = false;             // finishing: no waiting for more lines
  bool closed_ = false;            // the output is gone
  bool stopping_ = false;
  std::thread printer_;
};

// Writes an alert on stderr, as the terminal's stand-in for a message box.
void alertOnStderr(const std::string& program, const std::string& message);

// The note on stderr after printed lines were dropped.
inline constexpr const char* LinesNotPrintedFormat = "%s: пропущено строк вывода: %llu\n";

}  // namespace connchk
