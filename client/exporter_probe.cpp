#include "client/exporter_probe.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>

#include "client/protocol_catalogue.h"
#include "client/report.h"
#include "client/run_control.h"

namespace connchk::client {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

namespace {

enum class WaitEnd { RunEnded, Stopping, ScraperGone, Deadline };

// Waits for the first of: the run's end, the exporter's stop, the scraper closing its connection
// (POLLRDHUP: a request's bytes still unread do not wake it), the deadline.
WaitEnd waitForProbe(const platform::StopEvent& ended, const ProbeWatch& watch, steady_clock::time_point deadline) {
  for (;;) {
    if (watch.stopping.signalled()) return WaitEnd::Stopping;
    if (ended.signalled()) return WaitEnd::RunEnded;
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now()).count();
    if (left <= 0) return WaitEnd::Deadline;
    pollfd watched[] = {{ended.fd(), POLLIN, 0}, {watch.stopping.fd(), POLLIN, 0}, {watch.scraperSocket, POLLRDHUP, 0}};
    // Without descriptors of their own the two events are looked at every 100 ms.
    const bool sliced = ended.fd() < 0 || watch.stopping.fd() < 0;
    const int n = ::poll(watched, 3, static_cast<int>(sliced ? std::min<long long>(left, 100) : left));
    if (n < 0 && errno != EINTR) return WaitEnd::Deadline;
    if (watched[2].revents != 0) return WaitEnd::ScraperGone;
  }
}

}  // namespace

bool ProbeWatch::scraperGone() const {
  if (scraperSocket < 0) return false;
  pollfd watched{scraperSocket, POLLRDHUP, 0};
  return ::poll(&watched, 1, 0) > 0;
}

ProbeFigures probeFigures(const ProbeResult& result) {
  const RunSummary summary = summarize(result.outcome);
  ProbeFigures figures;
  figures.started = result.started;
  figures.sent = summary.sent;
  figures.answered = summary.answered;
  figures.success = result.started && result.outcome.judgement.exitStatus == 0;
  figures.judgement = result.outcome.judgement;
  if (summary.sent > 0) figures.lossRatio = summary.lossPercent / 100.0;
  const auto& rounds = result.outcome.rounds;
  if (std::any_of(rounds.begin(), rounds.end(),
                  [](const RoundRecord& r) { return r.result == RoundResult::Answered && r.roundTripUs >= 0; })) {
    figures.roundTrips = ProbeFigures::RoundTrips{summary.minUs / 1e6, summary.avgUs / 1e6, summary.maxUs / 1e6};
  }
  figures.verdict = !result.started ? "not-started" : figures.success ? "success" : "failure";
  if (result.outcome.account.given) {
    figures.lostThere = result.outcome.account.lostThere;
    figures.lostBack = result.outcome.account.lostBack;
  }
  return figures;
}

ProbeResult ProbeRunner::run(const ProbeQuery& query, steady_clock::time_point deadline, const ProbeWatch& watch) {
  const auto start = steady_clock::now();
  ProbeResult result;
  // The terminal exchange binds UDP port 855 of this host: one such probe at a time, waiting no
  // longer than leaves the shortest answer time-out.
  std::unique_lock<std::timed_mutex> port(terminalPort_, std::defer_lock);
  // A trace takes the second half of the time; the run keeps the first.
  const auto traceStart = query.trace ? start + (deadline - start) / 2 : deadline;
  const auto runDeadline = traceStart;
  const auto latestTurn = runDeadline - milliseconds(query.count * (MinProbeAnswerTimeoutMs + ProbeIntervalMs));
  if (query.protocolIndex == TerminalUdpIndex && !waitForTerminalPort(port, latestTurn, watch)) {
    result.started = false;
    result.dropped = watch.scraperGone();
  } else {
    // The rounds first; the account, asked after them, in what they leave.
    const auto budget = std::chrono::duration_cast<milliseconds>(runDeadline - steady_clock::now());
    const milliseconds accountMs = accountShare(budget, query.count);
    if (const auto timeout = answerTimeoutWithin(budget - accountMs, query.count)) {
      result = runChecked(query, *timeout, static_cast<int>(accountMs.count()), runDeadline, watch);
    } else {
      result.started = false;
    }
  }
  if (query.trace && !result.dropped && !watch.stopping.signalled()) result.trace = traceWithin(query, deadline);
  result.durationSeconds = std::chrono::duration<double>(steady_clock::now() - start).count();
  return result;
}

std::optional<TypeTrace> ProbeRunner::traceWithin(const ProbeQuery& query, steady_clock::time_point deadline) {
  TraceRequest request;
  request.address = query.target;
  request.family = query.family;
  request.types = {query.protocolIndex};
  request.size = query.size;
  request.terminal = query.terminal;
  request.waitMs = 1000;
  request.deadline = deadline;
  Tracer tracer;
  TraceResult traced = tracer.run(request, [this](const std::string& line) { log_.log(line); });
  if (!traced.started || traced.types.empty() || !traced.types.front().traced()) return std::nullopt;
  return traced.types.front();
}

bool ProbeRunner::waitForTerminalPort(std::unique_lock<std::timed_mutex>& port, steady_clock::time_point latest,
                                      const ProbeWatch& watch) {
  while (!port.try_lock_for(milliseconds(100))) {
    if (watch.stopping.signalled() || watch.scraperGone() || steady_clock::now() >= latest) return false;
  }
  return true;
}

ProbeResult ProbeRunner::runChecked(const ProbeQuery& query, int timeoutMs, int accountMs,
                                    steady_clock::time_point deadline, const ProbeWatch& watch) {
  const ProtocolType& type = ProtocolCatalogue()[static_cast<std::size_t>(query.protocolIndex)];
  RunRequest request;
  request.address = query.target;
  request.family = query.family;
  request.size = query.size;
  request.count = query.count;
  request.protocolNumber = type.number;
  request.protocolIndex = query.protocolIndex;
  request.terminal = query.terminal;
  request.way = query.way;
  request.intervalMs = ProbeIntervalMs;
  request.timeoutMs = timeoutMs;
  // A probe must end within its scrape's time-out: the account has a share of it of its own.
  request.account = accountMs > 0;
  request.accountTimeoutMs = accountMs;

  platform::StopEvent ended;
  RunEvents events;
  events.ended = [&ended](const RunOutcome&) { ended.signal(); };
  RunControl control(log_, withLoggedSummary(log_, std::move(events)));
  ProbeResult result;
  if (control.startRun(request) != StartRefusal::None) {
    result.started = false;
    return result;
  }
  result.dropped = waitForProbe(ended, watch, deadline) == WaitEnd::ScraperGone;
  control.stopRun();  // a run that has ended ignores it
  result.outcome = control.waitForEnd();
  // A path that refused or dropped the connection is a failed check, not one that could not start.
  result.started = !(result.outcome.startFailed && result.outcome.judgement.reason.local);
  return result;
}

}  // namespace connchk::client
