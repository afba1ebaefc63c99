#include "client/run_control.h"

#include <utility>

#include "client/account.h"
#include "client/tests.h"
#include "common/platform/wait.h"

namespace connchk::client {

struct RunControl::Run {
  RunRequest request;
  TestKind kind = TestKind::EchoUdp;
  platform::StopEvent stop;
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

RunControl::RunControl(ActivityLog& log, RunEvents events) : log_(log), events_(std::move(events)) {}

RunControl::~RunControl() {
  stopRun();
  waitForEnd();
}

StartRefusal RunControl::startRun(const RunRequest& request) {
  const TestKind kind = chooseTest(request.protocol(), request.protocolIndex);
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
  run->request = request;
  run->kind = kind;

  std::lock_guard<std::mutex> hold(mutex_);
  if (worker_.joinable()) return StartRefusal::AlreadyRunning;  // another start came in between
  current_ = run;
  if (events_.started) events_.started();
  worker_ = std::thread([run, this] {
    RunContext context(run->request, log_, run->stop, events_.roundEnded);
    context.outcome.exitCode = runProcedure(run->kind, context);
    if (run->request.account) context.outcome.account = takeAccount(run->request, run->kind, context.outcome, run->stop);
    context.outcome.judgement = judge(context.outcome, run->request.maxLossPercent);
    run->outcome = std::move(context.outcome);
    run->finished = true;
    if (events_.ended) events_.ended(run->outcome);
  });
  return StartRefusal::None;
}

void RunControl::stopRun() {
  std::lock_guard<std::mutex> hold(mutex_);
  if (current_) current_->stop.signal();
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

RunRequest RunControl::lastRequest() {
  std::lock_guard<std::mutex> hold(mutex_);
  return current_ && current_->finished ? current_->request : RunRequest{};
}

}  // namespace connchk::client
