#include "common/activity_log.h"

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <ctime>
#include <utility>

#include "common/cp1251.h"
#include "common/log_directory.h"
#include "common/text_format.h"

namespace connchk {
namespace {
constexpr auto NameCheckPeriod = std::chrono::seconds(1);
constexpr auto ExitFlushLimit = std::chrono::seconds(2);
}  // namespace

int lineToDropAfterInsert(int countAfterInsert) { return countAfterInsert > LogViewCapacity ? 1 : -1; }

ActivityLog::ActivityLog(LogStyle style, std::string fileName)
    : ActivityLog(style, std::move(fileName), std::nullopt) {}

ActivityLog::ActivityLog(LogStyle style, std::string fileName, std::optional<std::string> path)
    : style_(style), fileName_(std::move(fileName)), path_(std::move(path)) {}

ActivityLog ActivityLog::atPath(LogStyle style, std::string path) {
  return ActivityLog(style, {}, std::move(path));
}

ActivityLog::~ActivityLog() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (writer_.joinable()) writer_.join();
}

void ActivityLog::setView(LogView* view) {
  std::lock_guard<std::mutex> hold(mutex_);
  view_ = view;
}

void ActivityLog::setAlert(LogAlert alert) {
  std::lock_guard<std::mutex> hold(alertMutex_);
  alert_ = std::move(alert);
}

std::string ActivityLog::viewLine(LogStyle style, const std::string& timeOfDay, const std::string& text) {
  return style == LogStyle::Client ? "[" + timeOfDay + "] " + text : text;
}

std::string ActivityLog::fileBytes(LogStyle style, const std::string& viewLine) {
  std::string bytes;
  appendFileBytes(bytes, style, viewLine);
  return bytes;
}

void ActivityLog::appendFileBytes(std::string& out, LogStyle style, const std::string& viewLine) {
  appendWindows1251(out, viewLine);
  out += style == LogStyle::Client ? "\r\n" : "\n\r";
}

void ActivityLog::reopen() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    reopenWanted_ = true;
  }
  wake_.notify_all();
}

std::uint64_t ActivityLog::linesLost() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return lost_;
}

const std::string& ActivityLog::pathLocked() {
  if (!path_) path_ = logDirectory() + fileName_;
  return *path_;
}

std::string ActivityLog::filePath() {
  std::lock_guard<std::mutex> hold(mutex_);
  return pathLocked();
}

namespace {

// "HH:mm:ss" of the local time, made once a second by each thread that stamps lines.
const char* timeOfDayNow() {
  thread_local std::time_t madeFor = -1;
  thread_local char text[16] = {};
  const std::time_t now = std::time(nullptr);
  if (now != madeFor) {
    std::tm local{};
    localtime_r(&now, &local);
    std::strftime(text, sizeof text, "%H:%M:%S", &local);
    madeFor = now;
  }
  return text;
}

}  // namespace

void ActivityLog::log(const std::string& text) {
  thread_local LogLine converted;
  converted.clear().utf8(text);
  log(converted);
}

void ActivityLog::log(const LogLine& message) {
  if (style_ != LogStyle::Client) {
    take(message);
    return;
  }
  thread_local LogLine stamped;
  stamped.clear().ascii("[").ascii(timeOfDayNow()).ascii("] ") << message;
  take(stamped);
}

void ActivityLog::log(const LogLines& messages) {
  if (style_ != LogStyle::Server) {
    thread_local LogLine one;
    for (std::size_t i = 0; i < messages.size(); ++i) log(one.clear().utf8(messages.utf8(i)));
    return;
  }
  if (messages.empty()) return;
  std::lock_guard<std::mutex> hold(mutex_);
  if (closed_) return;
  if (view_) view_->appendLines(messages);
  for (std::size_t i = 0; i < messages.size(); ++i) queueForFile(messages.cp1251(i));
  wakeWriter();
}

void ActivityLog::take(const LogLine& line) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (closed_) return;
  if (view_) view_->appendLine(line.utf8());
  queueForFile(line.cp1251());
  wakeWriter();
}

void ActivityLog::queueForFile(std::string_view cp1251) {
  ++accepted_;
  if (waiting_.size() + cp1251.size() + 2 > PendingLimit) {
    ++refused_;
    return;
  }
  waiting_ += cp1251;
  waiting_.append(style_ == LogStyle::Client ? "\r\n" : "\n\r", 2);
  waitingEnds_.push_back(waiting_.size());
}

void ActivityLog::wakeWriter() {
  if (!writer_.joinable()) writer_ = std::thread([this] { writerLoop(); });
  if (writerIdle_) {
    writerIdle_ = false;
    wake_.notify_one();
  }
}

bool ActivityLog::flush(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> hold(mutex_);
  const std::uint64_t target = accepted_;
  flushWanted_ = true;
  wake_.notify_all();
  return settled_.wait_for(hold, limit, [&] { return done_ >= target; });
}

void ActivityLog::closeForExit() {
  LogView* view = nullptr;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    closed_ = true;
    view = view_;
  }
  flush(ExitFlushLimit);
  if (view) view->finish(ExitFlushLimit);
}

void ActivityLog::writerLoop() {
  // A log file on a pipe whose reader went (or stderr, for the terminal's alert) must not end the
  // program: the write fails with EPIPE instead.
  sigset_t pipeSignal;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);

  Batch batch;
  std::unique_lock<std::mutex> hold(mutex_);
  for (;;) {
    if (waiting_.empty() && refused_ == 0 && !reopenWanted_ && !stopping_) {
      writerIdle_ = true;
      wake_.wait(hold, [&] { return !writerIdle_ || reopenWanted_ || stopping_ || flushWanted_; });
      writerIdle_ = false;
    }
    // Lines that come together (the lines of one answer, a burst) go out in one write.
    wake_.wait_for(hold, FlushPeriod, [&] { return flushWanted_ || stopping_; });
    flushWanted_ = false;
    // The batch's emptied buffers, with their room, take the next lines.
    batch.bytes.swap(waiting_);
    batch.lineEnds.swap(waitingEnds_);
    batch.refused = std::exchange(refused_, 0);
    batch.reopen = std::exchange(reopenWanted_, false);
    if (batch.path.empty()) batch.path = pathLocked();  // the name never changes once known
    const bool last = stopping_;
    hold.unlock();

    const std::uint64_t lost = writeBatch(batch);

    hold.lock();
    lost_ += lost;
    done_ += batch.lineEnds.size() + batch.refused;
    batch.bytes.clear();
    batch.lineEnds.clear();
    settled_.notify_all();
    if (last && waiting_.empty() && refused_ == 0) return;
  }
}

std::uint64_t ActivityLog::writeBatch(const Batch& batch) {
  if (batch.reopen) file_.close();
  const std::size_t lines = batch.lineEnds.size();
  if (lines == 0 && batch.refused == 0) return 0;

  // A file renamed or removed (log rotation) is let go, and the lines go to a new one by the name.
  const auto now = std::chrono::steady_clock::now();
  if (file_.isOpen() && now - lastNameCheck_ >= NameCheckPeriod) {
    lastNameCheck_ = now;
    if (!file_.stillNamedBy(batch.path)) file_.close();
  }
  const char* failure = nullptr;
  std::size_t written = 0;
  if (!file_.isOpen()) {
    if (file_.open(batch.path)) lastNameCheck_ = now;
  }
  if (!file_.isOpen()) {
    failure = LogFileAlertText;
  } else {
    written = file_.appendLines(batch.bytes, batch.lineEnds);
    if (written < lines) failure = LogWriteAlertText;
  }
  const std::uint64_t lost = lines - written + batch.refused;
  if (lost > 0) {
    unreported_ += lost;
    if (!failing_) alert(failure ? failure : LogWriteAlertText);
    failing_ = true;
    return lost;
  }
  // Writing works again: say, once, how many lines the file misses.
  failing_ = false;
  if (unreported_ > 0) {
    const unsigned long long missing = std::exchange(unreported_, 0);
    log(format(LinesLostFormat, missing));
  }
  return 0;
}

void ActivityLog::alert(const char* text) {
  std::lock_guard<std::mutex> hold(alertMutex_);
  if (alert_) alert_(text);
}

}  // namespace connchk
