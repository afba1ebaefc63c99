#include "client/console.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "client/mtu.h"
#include "client/report.h"
#include "client/run_control.h"
#include "client/sweep.h"
#include "client/trace.h"
#include "client/trace_report.h"
#include "client/sweep_ways.h"
#include "common/console_view.h"
#include "common/platform/signals.h"

namespace connchk::client {

namespace {

// The terminal's view of the log: prints every line where one is wanted.
class TerminalView : public LogView {
 public:
  explicit TerminalView(std::FILE* out) : printer_(out ? out : stdout), printing_(out != nullptr) {}

  void appendLine(const std::string& line) override {
    if (printing_) printer_.appendLine(line);
  }

 private:
  ConsoleView printer_;
  bool printing_;
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

int runInTerminal(const ClientOptions& options, RunControl& control) {
  const StartRefusal refusal = control.startRun(options.request);
  if (refusal != StartRefusal::None) {
    complain(startRefusalText(refusal));
    return 2;
  }
  const RunOutcome outcome = control.waitForEnd();
  if (options.json) {
    printJson(runJson(options.request, outcome));
  } else if (options.quiet) {
    if (outcome.startFailed) complain(outcome.failure.text);
    printLines(summaryLines(outcome));
  }
  return runExitStatus(outcome);
}

TraceRequest traceRequest(const ClientOptions& options);

// With --trace, every type is traced first (all at once) and the sweep's matrix shows where each stops.
MtuPlan mtuPlan(const ClientOptions& options);

int sweepInTerminal(const ClientOptions& options, Sweep& sweep, Tracer& tracer, MtuCheck& mtu, ActivityLog& log) {
  SweepPlan plan{options.request, options.sweepTypes, {}, {}};
  if (options.trace) {
    const TraceResult traced = tracer.run(traceRequest(options), [&log](const std::string& line) { log.log(line); },
                                          [&](const TypeTrace& type) {
                                            for (const std::string& line : traceTableLines(type)) log.log(line);
                                          });
    plan.traces = traced.types;
  }
  if (options.mtu) plan.mtu = mtu.run(mtuPlan(options)).rows;
  const SweepResult result = sweep.run(plan);
  logSweepMatrix(log, result);
  if (options.json) {
    printJson(sweepJson(options.request, result));
  } else if (options.quiet) {
    if (!result.started) complain(result.failure);  // otherwise in the log, not printed
    printLines(result.started ? sweepMatrixLines(result.rows) : std::vector<std::string>{});
  }
  return result.exitStatus();
}

TraceRequest traceRequest(const ClientOptions& options) {
  TraceRequest request;
  request.address = options.request.address;
  request.family = options.request.family;
  request.types = options.sweepTypes;
  request.maxHops = options.maxHops;
  request.probesPerHop = options.probes;
  request.waitMs = options.request.timeoutMs;
  request.size = options.request.size;
  request.terminal = options.request.terminal;
  request.way = options.request.way;
  return request;
}

int traceInTerminal(const ClientOptions& options, Tracer& tracer, ActivityLog& log) {
  const TraceRequest request = traceRequest(options);
  const auto say = [&log](const std::string& line) { log.log(line); };
  const TraceResult result = tracer.run(request, say, [&](const TypeTrace& type) {
    for (const std::string& line : traceTableLines(type)) log.log(line);
  });
  if (result.started) {
    for (const std::string& line : traceMatrixLines(result)) log.log(line);
  }
  if (options.json) {
    printJson(traceJson(request, result));
  } else if (options.quiet) {
    if (!result.started) complain(result.failure);
    printLines(result.started ? traceMatrixLines(result) : std::vector<std::string>{});
  }
  return result.exitStatus();
}

MtuPlan mtuPlan(const ClientOptions& options) {
  return MtuPlan{options.request.address, options.request.family, options.sweepTypes, options.mtuLargestSize,
                 options.mtuTimeoutMs, options.request.way, options.request.terminal};
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

int compareWaysInTerminal(const ClientOptions& options, Sweep& sweep, ActivityLog& log) {
  const ComparedSweep compared =
      sweepThroughWays(sweep, log, SweepPlan{options.request, options.sweepTypes, {}, {}}, options.vias);
  if (options.json) {
    printJson(comparedSweepJson(options.request, compared));
  } else if (options.quiet) {
    for (const WaySweep& way : compared.ways) {
      if (!way.result.started) complain(way.result.failure);
    }
    printLines(comparedMatrixLines(compared));
  }
  return compared.exitStatus();
}

}  // namespace

int runClientConsole(const ClientOptions& options) {
  // A way out that this host does not have is refused before anything is sent or logged.
  if (const std::string refusal = wayOutRefusal(options); !refusal.empty()) {
    complain(refusal);
    return 2;
  }
  // The view outlives the log, which may show a line until its last write.
  TerminalView view(options.quiet ? nullptr : options.json ? stderr : stdout);
  ActivityLog log(LogStyle::Client, ClientLogFileName);
  log.setView(&view);
  log.setAlert([](const std::string& message) { alertOnStderr("client", message); });

  // The figures of the run going on, for SIGQUIT.
  std::mutex figuresMutex;
  std::optional<RunSummary> figuresSoFar;
  RunEvents events;
  events.started = [&] {
    std::lock_guard<std::mutex> hold(figuresMutex);
    figuresSoFar.reset();
  };
  events.roundEnded = [&](const RoundRecord&, const RunSummary& soFar) {
    std::lock_guard<std::mutex> hold(figuresMutex);
    figuresSoFar = soFar;
  };
  RunControl control(log, withLoggedSummary(log, std::move(events)));
  Sweep sweep(control, log);
  Tracer tracer;
  MtuCheck mtu(log);
  // The first Ctrl-C or termination request is Stop: the run ends with its summary. A second one
  // (or a hang-up) ends the program at once. SIGQUIT prints the summary so far on stderr and the run goes on.
  platform::SignalWatcher signals(
      [&](int signal, int count) {
        if (signal == SIGQUIT) {
          std::lock_guard<std::mutex> hold(figuresMutex);
          if (figuresSoFar) {
            for (const std::string& line : summaryLines(*figuresSoFar, false)) std::fprintf(stderr, "%s\n", line.c_str());
          }
          return;
        }
        if (signal != SIGHUP && count == 1) {
          if (options.trace) tracer.stop();
          if (options.mtu) mtu.stop();
          if (options.sweep) {
            sweep.stop();
          } else if (!options.trace && !options.mtu) {
            control.stopRun();
          }
          return;
        }
        log.closeForExit();
        std::fflush(stdout);
        _exit(130);
      },
      {SIGQUIT});
  if (options.sweep && !options.vias.empty()) return compareWaysInTerminal(options, sweep, log);
  if (options.sweep) return sweepInTerminal(options, sweep, tracer, mtu, log);
  if (options.mtu) return mtuInTerminal(options, mtu);
  if (options.trace) return traceInTerminal(options, tracer, log);
  return runInTerminal(options, control);
}

}  // namespace connchk::client
