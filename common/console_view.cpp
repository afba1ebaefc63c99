#include "common/console_view.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "common/text_format.h"

namespace connchk {
namespace {

constexpr auto PrintPeriod = std::chrono::milliseconds(5);
constexpr int PollMs = 100;  // how often a print that waits for the reader looks at stopping_

// A write to a pipe whose reader has gone fails with EPIPE on this thread instead of ending the
// program with SIGPIPE.
void blockPipeSignal() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool writable(int fd, int waitMs) {
  pollfd p{fd, POLLOUT, 0};
  const int ready = poll(&p, 1, waitMs);
  return ready > 0 || (ready < 0 && errno != EINTR);  // an error: the write says which
}

}  // namespace

ConsoleView::ConsoleView(std::FILE* out, std::string prefix, std::size_t pendingLimit)
    : fd_(fileno(out)), prefix_(std::move(prefix)), pendingLimit_(pendingLimit) {
  std::fflush(out);
  struct stat st {};
  closed_ = fd_ < 0 || fstat(fd_, &st) != 0;
  regularFile_ = !closed_ && S_ISREG(st.st_mode);
}

ConsoleView::~ConsoleView() {
  finish(std::chrono::seconds(2));
  {
    std::lock_guard<std::mutex> hold(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (printer_.joinable()) printer_.join();
}

void ConsoleView::appendLine(const std::string& line) {
  std::lock_guard<std::mutex> hold(mutex_);
  queue(line);
}

void ConsoleView::appendLines(const LogLines& lines) {
  std::lock_guard<std::mutex> hold(mutex_);
  for (std::size_t i = 0; i < lines.size(); ++i) queue(lines.utf8(i));
}

void ConsoleView::queue(std::string_view line) {
  if (closed_ || stopping_) {
    ++dropped_;
    return;
  }
  if (waiting_.size() + prefix_.size() + line.size() + 1 > pendingLimit_) {
    ++dropped_;
    ++unreported_;
    return;
  }
  const bool belowHalf = waiting_.size() < pendingLimit_ / 2;
  waiting_ += prefix_;
  waiting_ += line;
  waiting_ += '\n';
  if (!printer_.joinable()) printer_ = std::thread([this] { printerLoop(); });
  if (printerIdle_ || (belowHalf && waiting_.size() >= pendingLimit_ / 2)) {
    printerIdle_ = false;
    wake_.notify_one();
  }
}

void ConsoleView::finish(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> hold(mutex_);
  hurry_ = true;
  wake_.notify_all();
  printed_.wait_for(hold, limit, [&] { return closed_ || (waiting_.empty() && !printing_); });
}

std::uint64_t ConsoleView::linesDropped() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return dropped_;
}

void ConsoleView::printerLoop() {
  blockPipeSignal();
  std::string text;
  std::unique_lock<std::mutex> hold(mutex_);
  for (;;) {
    if (waiting_.empty() && !stopping_) {
      printerIdle_ = true;
      printed_.notify_all();
      wake_.wait(hold, [&] { return !printerIdle_ || stopping_; });
      printerIdle_ = false;
    }
    if (stopping_) return;
    // Lines that come together are printed in one write (a backlog goes at once).
    wake_.wait_for(hold, PrintPeriod, [&] { return hurry_ || stopping_ || waiting_.size() >= pendingLimit_ / 2; });
    text.swap(waiting_);
    waiting_.clear();
    printing_ = true;
    const std::uint64_t droppedBefore = unreported_;
    hold.unlock();

    std::size_t done = 0;
    const Printed result = print(text, done);

    hold.lock();
    printing_ = false;
    if (result == Printed::Closed) {
      // The reader is gone for good: nothing more is printed, and what waited is dropped.
      closed_ = true;
      dropped_ += static_cast<std::uint64_t>(std::count(text.begin() + static_cast<std::ptrdiff_t>(done), text.end(), '\n') +
                                              std::count(waiting_.begin(), waiting_.end(), '\n'));
      waiting_.clear();
      printed_.notify_all();
      return;
    }
    if (result == Printed::Stopped) return;
    // The reader keeps up again once a whole print went by without a line dropped meanwhile.
    if (unreported_ > 0 && unreported_ == droppedBefore) {
      const std::uint64_t count = std::exchange(unreported_, 0);
      hold.unlock();
      sayDropped(count);
      hold.lock();
    }
    printed_.notify_all();
  }
}

ConsoleView::Printed ConsoleView::print(const std::string& text, std::size_t& done) {
  while (done < text.size()) {
    if (!writable(fd_, PollMs)) {
      std::lock_guard<std::mutex> hold(mutex_);
      if (stopping_) return Printed::Stopped;
      continue;
    }
    // A pipe that polls writable takes PIPE_BUF bytes without blocking.
    const std::size_t chunk = regularFile_ ? text.size() - done : std::min<std::size_t>(PIPE_BUF, text.size() - done);
    const ssize_t n = write(fd_, text.data() + done, chunk);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return Printed::Closed;
    done += static_cast<std::size_t>(n);
  }
  return Printed::All;
}

void ConsoleView::sayDropped(std::uint64_t count) {
  const std::string note = format(LinesNotPrintedFormat, program_invocation_short_name, static_cast<unsigned long long>(count));
  if (writable(STDERR_FILENO, PollMs)) {
    [[maybe_unused]] const ssize_t n = write(STDERR_FILENO, note.data(), note.size());
  }
}

void alertOnStderr(const std::string& program, const std::string& message) {
  std::fprintf(stderr, "%s: %s\n", program.c_str(), message.c_str());
  std::fflush(stderr);
}

}  // namespace connchk
