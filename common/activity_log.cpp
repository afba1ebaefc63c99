#include "common/activity_log.h"

#include <utility>

#include "common/cp1251.h"
#include "common/log_directory.h"
#include "common/platform/clock.h"
#include "common/platform/files.h"

namespace connchk {

int lineToDropAfterInsert(int countAfterInsert) { return countAfterInsert > LogViewCapacity ? 1 : -1; }

ActivityLog::ActivityLog(LogStyle style, std::string fileName)
    : ActivityLog(style, std::move(fileName), std::nullopt) {}

ActivityLog::ActivityLog(LogStyle style, std::string fileName, std::optional<std::string> path)
    : style_(style), fileName_(std::move(fileName)), path_(std::move(path)) {}

ActivityLog ActivityLog::atPath(LogStyle style, std::string path) {
  return ActivityLog(style, {}, std::move(path));
}

void ActivityLog::setView(LogView* view) {
  std::lock_guard<std::mutex> hold(mutex_);
  view_ = view;
}

void ActivityLog::setAlert(LogAlert alert) {
  std::lock_guard<std::mutex> hold(mutex_);
  alert_ = std::move(alert);
}

std::string ActivityLog::viewLine(LogStyle style, const std::string& timeOfDay, const std::string& text) {
  return style == LogStyle::Client ? "[" + timeOfDay + "] " + text : text;
}

std::string ActivityLog::fileBytes(LogStyle style, const std::string& viewLine) {
  return toWindows1251(viewLine) + (style == LogStyle::Client ? "\r\n" : "\n\r");
}

void ActivityLog::setDirectory(const std::string& directory) {
  std::lock_guard<std::mutex> hold(mutex_);
  std::string dir = directory.empty() ? std::string(".") : directory;
  if (dir.back() != '/') dir += '/';
  path_ = dir + fileName_;
}

// The file is opened for every line, so the next line already follows a renamed file's name.
void ActivityLog::reopen() {}

std::uint64_t ActivityLog::linesLost() const { return 0; }

std::string ActivityLog::filePath() {
  std::lock_guard<std::mutex> hold(mutex_);
  if (!path_) path_ = logDirectory() + fileName_;
  return *path_;
}

void ActivityLog::closeForExit() {
  // Held until the process ends; every later log call waits for that end. A line stuck for long
  // (an output nobody reads) must not keep the program from ending, hence the bound.
  for (int waited = 0; waited < 2000; ++waited) {
    if (mutex_.try_lock()) return;
    platform::sleepMs(1);
  }
}

void ActivityLog::log(const std::string& text) {
  std::lock_guard<std::mutex> hold(mutex_);
  const std::string line =
      viewLine(style_, style_ == LogStyle::Client ? platform::localTimeOfDay() : std::string{}, text);
  if (view_) view_->appendLine(line);
  if (!path_) path_ = logDirectory() + fileName_;
  if (!platform::appendToFile(*path_, fileBytes(style_, line)) && alert_) alert_(LogFileAlertText);
}

}  // namespace connchk
