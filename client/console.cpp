#include "client/console.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "client/mtu.h"
#include "client/report.h"
#include "client/run_control.h"
#include "client/sweep.h"
#include "common/console_view.h"
#include "common/platform/signals.h"

namespace connchk::client {

namespace {

// The terminal's view of the log: prints every line where one is wanted and keeps the last one,
// which tells why a run could not start.
class TerminalView : public LogView {
 public:
  explicit TerminalView(std::FILE* out) : printer_(out ? out : stdout), printing_(out != nullptr) {}

  void appendLine(const std::string& line) override {
    if (printing_) printer_.appendLine(line);
    std::lock_guard<std::mutex> hold(mutex_);
    last_ = line;
  }

  // The last line without its "[HH:mm:ss] " stamp.
  std::string lastText() {
    std::lock_guard<std::mutex> hold(mutex_);
    const bool stamped = last_.size() >= 11 && last_[0] == '[' && last_[9] == ']' && last_[10] == ' ';
    return stamped ? last_.substr(11) : last_;
  }

 private:
  ConsoleView printer_;
  bool printing_;
  std::mutex mutex_;
  std::string last_;
};

void printLines(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

// Text that came from the command line may not be UTF-8: it is replaced, not a reason to fail.
void printJson(const nlohmann::ordered_json& document) {
  const std::string text = document.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

void complain(const std::string& text) {
  if (!text.empty()) std::fprintf(stderr, "client: %s\n", text.c_str());
}

int runInTerminal(const ClientOptions& options, RunControl& control, TerminalView& view) {
  const StartRefusal refusal = control.startRun(options.request);
  if (refusal != StartRefusal::None) {
    complain(startRefusalText(refusal));
    return 2;
  }
  const RunOutcome outcome = control.waitForEnd();
  if (options.json) {
    printJson(runJson(options.request, outcome, view.lastText()));
  } else if (options.quiet) {
    if (outcome.startFailed) complain(view.lastText());
    printLines(summaryLines(outcome));
  }
  return runExitStatus(outcome);
}

int sweepInTerminal(const ClientOptions& options, Sweep& sweep) {
  const SweepResult result = sweep.run(SweepPlan{options.request, options.sweepTypes});
  if (options.json) {
    printJson(sweepJson(options.request, result));
  } else if (options.quiet) {
    if (!result.started) complain(result.failure);  // otherwise in the log, not printed
    printLines(result.started ? sweepMatrixLines(result.rows) : std::vector<std::string>{});
  }
  return result.exitStatus();
}

MtuPlan mtuPlan(const ClientOptions& options) {
  MtuPlan plan{options.request, options.sweepTypes};
  plan.request.size = options.mtuLargestSize;
  plan.request.timeoutMs = options.mtuTimeoutMs;
  return plan;
}

int mtuInTerminal(const ClientOptions& options, MtuCheck& check) {
  const MtuPlan plan = mtuPlan(options);
  const MtuResult result = check.run(plan);
  if (options.json) {
    printJson(mtuJson(plan, result));
  } else if (options.quiet) {
    if (!result.started) complain(result.failure);
    printLines(result.started ? mtuTableLines(result.rows) : std::vector<std::string>{});
  }
  return result.exitStatus();
}

}  // namespace

int runClientConsole(const ClientOptions& options) {
  // The view outlives the log, which may show a line until its last write.
  TerminalView view(options.quiet ? nullptr : options.json ? stderr : stdout);
  ActivityLog log(LogStyle::Client, ClientLogFileName);
  log.setView(&view);
  log.setAlert([](const std::string& message) { alertOnStderr("client", message); });

  RunControl control(log, ButtonHooks{});
  Sweep sweep(control, log);
  MtuCheck mtu(log);
  // The first Ctrl-C is Stop; a second one, or a termination request, ends the program at once.
  platform::SignalWatcher signals([&](int signal, int count) {
    if (signal == SIGINT && count == 1) {
      if (options.sweep || options.mtu) {
        sweep.stop();
        mtu.stop();
      } else {
        control.stopRun();
      }
      return;
    }
    log.closeForExit();
    std::fflush(stdout);
    _exit(130);
  });
  if (options.mtu && !options.sweep) return mtuInTerminal(options, mtu);
  return options.sweep ? sweepInTerminal(options, sweep) : runInTerminal(options, control, view);
}

}  // namespace connchk::client
