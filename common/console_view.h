// The terminal's stand-in for a window's log list: every line goes to stdout as it is logged.
#pragma once

#include <cstdio>
#include <string>

#include "common/activity_log.h"

namespace connchk {

class ConsoleView : public LogView {
 public:
  explicit ConsoleView(std::FILE* out = stdout, std::string prefix = {}) : out_(out), prefix_(std::move(prefix)) {}
  void appendLine(const std::string& line) override;

 private:
  std::FILE* out_;
  std::string prefix_;
};

// Writes an alert on stderr, as the terminal's stand-in for a message box.
void alertOnStderr(const std::string& program, const std::string& message);

}  // namespace connchk
