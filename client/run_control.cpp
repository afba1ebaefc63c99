#include "client/run_control.h"

#include <utility>

#include "client/report.h"
#include "client/tests.h"

namespace connchk::client {

struct RunControl::Run {
  TestRunParameters params;
  TestKind kind = TestKind::EchoUdp;
  std::atomic<bool> stop{false};
  std::atomic<bool> finished{false};
  RunOutcome outcome;
};

namespace {
int runProcedure(TestKind kind, RunContext& context) {
  switch (kind) {
    case TestKind::IcmpEcho: return IcmpEchoTest(context);
    case TestKind::EchoUdp: return EchoUdpTest(context);
    case TestKind::TerminalUdp: return TerminalUdpTest(context);
    case TestKind::EchoTcp: return EchoTcpTest(context);
    case TestKind::RawIp: return RawIpTest(context);
  }
  return -1;
}
}  // namespace

const char* startRefusalText(StartRefusal refusal) {
  switch (refusal) {
    case StartRefusal::None: return "";
    case StartRefusal::AddressTooLong: return "the server address is longer than 255 characters";
    case StartRefusal::AlreadyRunning: return "a test run is already in progress";
  }
  return "";
}

RunControl::RunControl(ActivityLog& log, ButtonHooks hooks) : log_(log), hooks_(std::move(hooks)) {}

RunControl::~RunControl() {
  stopRun();
  waitForEnd();
}

StartRefusal RunControl::startRun(const RunRequest& request) {
  const auto protocol = static_cast<std::uint8_t>(request.protocolNumber & 0xFF);
  const TestKind kind = chooseTest(protocol, request.protocolIndex);
  std::thread previous;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (current_ && !current_->finished) return StartRefusal::AlreadyRunning;
    if (addressTooLong(request.address)) return StartRefusal::AddressTooLong;
    previous = std::move(worker_);
  }
  // The previous worker has finished its run but may still be in its last hook, which may ask
  // whether a run is going on: it is joined outside the lock.
  if (previous.joinable()) previous.join();

  auto run = std::make_shared<Run>();
  run->params.address = request.address;
  run->params.family = request.family;
  run->params.size = request.size;
  run->params.count = request.count;
  run->params.protocol = protocol;
  run->params.intervalMs = request.intervalMs;
  run->params.timeoutMs = request.timeoutMs;
  run->params.way = request.way;
  if (kind == TestKind::TerminalUdp) run->params.terminal = request.terminal;
  run->kind = kind;

  std::lock_guard<std::mutex> hold(mutex_);
  if (worker_.joinable()) return StartRefusal::AlreadyRunning;  // another start came in between
  current_ = run;
  if (hooks_.runStarted) hooks_.runStarted();
  worker_ = std::thread([run, this] {
    RunContext context(run->params, log_, run->stop, hooks_.roundEnded);
    context.outcome.exitCode = runProcedure(run->kind, context);
    logRunSummary(log_, context.outcome);  // before the buttons come back, so it ends the run's lines
    run->outcome = context.outcome;
    run->finished = true;
    if (hooks_.restoreButtons) hooks_.restoreButtons();
  });
  return StartRefusal::None;
}

void RunControl::stopRun() {
  std::lock_guard<std::mutex> hold(mutex_);
  if (current_) current_->stop = true;
}

bool RunControl::running() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return current_ && !current_->finished;
}

RunOutcome RunControl::waitForEnd() {
  std::shared_ptr<Run> run;
  std::thread worker;
  {
    // Joined outside the lock: the worker's last hook may ask whether a run is going on.
    std::lock_guard<std::mutex> hold(mutex_);
    run = current_;
    worker = std::move(worker_);
  }
  if (worker.joinable()) worker.join();
  return run ? run->outcome : RunOutcome{};
}

TestRunParameters RunControl::lastParameters() {
  std::lock_guard<std::mutex> hold(mutex_);
  return current_ && current_->finished ? current_->params : TestRunParameters{};
}

}  // namespace connchk::client
