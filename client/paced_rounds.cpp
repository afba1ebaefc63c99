#include "client/paced_rounds.h"

#include <algorithm>
#include <array>

#include "common/platform/wait.h"
#include "common/protocol.h"

namespace connchk::client {

namespace {

using std::chrono::milliseconds;

// Begins the next round and sends its request; false when the send failed, which ends the sending.
bool sendNext(RunContext& run, const PacedTest& test, PendingRequests& open) {
  run.beginRound();
  std::string line = RequestSentLine;
  const auto sent = test.send(run.takeSendTime(), line);
  OpenRequest request = run.openRequest();
  if (!sent) {
    run.openRequestUnanswered(RoundResult::SendError, sent.code());
    request.ended = true;
    request.result = RoundResult::SendError;
    request.error = sent.code();
    open.add(request);
    return false;
  }
  run.requestSent(line);
  open.add(request);
  return true;
}

// An answer that carries `identity`: the answer of an open request, or a duplicate or late answer.
void takeAnswer(RunContext& run, PendingRequests& open, const PacedTest& test, std::uint64_t identity,
                MonotonicClock::time_point at) {
  std::int64_t roundTripUs = -1;
  switch (open.answer(identity, at, &roundTripUs)) {
    case AnswerMatch::Answers: run.openRequestAnswered(test.label, roundTripUs); break;
    case AnswerMatch::Duplicate: ++run.outcome.duplicates; break;
    case AnswerMatch::Late: ++run.outcome.lateAnswers; break;
    case AnswerMatch::Unknown: run.strayAnswer(identity); break;  // of a round already recorded, if any
  }
}

// Waits (Stop heard) until `until`: after a receive error that no open request took, so that an
// error that stays does not spin the loop.
void idleUntil(RunContext& run, MonotonicClock::time_point until) {
  const auto left = std::chrono::duration_cast<milliseconds>(until - MonotonicClock::now()).count();
  if (left > 0) platform::waitReadable(-1, run.stopEvent(), static_cast<int>(left));
}

}  // namespace

void runPacedRounds(RunContext& run, int fd, const PacedTest& test) {
  const bool infinite = run.params.count == -1;
  if (!infinite && run.params.count < 1) return;
  PendingRequests open(milliseconds(run.params.timeoutMs));
  const auto recordEnded = [&] {
    for (const OpenRequest& request : open.takeEnded()) run.recordOpenRequest(request);
  };
  const milliseconds interval(std::max(run.params.intervalMs, 0));
  std::array<std::uint8_t, ReceiveBufferSize> received{};
  int sent = 0;
  bool sending = true;
  auto nextSend = MonotonicClock::now();
  for (;;) {
    if (run.stopRequested()) {
      open.stopAll();
      recordEnded();
      run.outcome.stopped = true;
      return;
    }
    for (int expired = open.expire(MonotonicClock::now()); expired > 0; --expired) {
      run.openRequestUnanswered(RoundResult::TimedOut);
    }
    if (sending && MonotonicClock::now() >= nextSend) {
      sending = sendNext(run, test, open) && (infinite || ++sent < run.params.count);
      nextSend = MonotonicClock::now() + interval;
    }
    recordEnded();
    const auto deadline = open.nextDeadline();
    if (!sending && !deadline) return;  // every request has ended and is recorded
    const auto until = sending && deadline ? std::min(nextSend, *deadline) : sending ? nextSend : *deadline;

    std::optional<std::uint64_t> identity;
    const Awaited got = awaitDatagramUntil(
        run, fd, received.data(), received.size(),
        [&](std::size_t n, const platform::Address& from) {
          if (n == 0 && test.emptyCloses) return Pick::Empty;
          identity = test.answerTime(received.data(), n, from);
          return identity ? Pick::Take : Pick::PassOver;
        },
        until);
    switch (got.kind) {
      case Awaited::Kind::Taken: {
        // Several requests are open: the kernel's stamp is checked against the send of the request
        // the answer names, not the run's last one, which may well have left after it came.
        const auto sent = open.sentAt(*identity);
        takeAnswer(run, open, test, *identity, sent ? got.time.arrival(*sent) : got.at);
        break;
      }
      case Awaited::Kind::Empty:
        if (open.endOldestWaiting(RoundResult::Closed)) run.openRequestUnanswered(RoundResult::Closed);
        break;
      case Awaited::Kind::Failed:
        if (open.endOldestWaiting(RoundResult::ReceiveError, got.error)) {
          run.openRequestUnanswered(RoundResult::ReceiveError, got.error);
        } else {
          idleUntil(run, until);
        }
        break;
      case Awaited::Kind::TimedOut:
      case Awaited::Kind::Stopped: break;  // seen at the top of the loop
    }
  }
}

}  // namespace connchk::client
