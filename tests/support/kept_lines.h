// A log view that keeps every line without its time prefix, for runs driven in the test's process.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "common/activity_log.h"
#include "tests/support/program.h"

namespace connchk::testing {

class KeptLines : public LogView {
 public:
  void appendLine(const std::string& line) override {
    std::lock_guard<std::mutex> hold(mutex_);
    lines_.push_back(withoutTimePrefix(line));
  }
  std::vector<std::string> lines() {
    std::lock_guard<std::mutex> hold(mutex_);
    return lines_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace connchk::testing
