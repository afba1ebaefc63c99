// The open requests of a paced run: answers matched by identity whatever their order, deadlines in
// send order, rounds leaving in send order, and a table that stays as small as -W / -i.
#include <gtest/gtest.h>

#include <vector>

#include "client/pending_requests.h"

namespace connchk::client {
namespace {

using std::chrono::milliseconds;

const MonotonicClock::time_point T0{};

OpenRequest sentAt(int round, int ms) {
  OpenRequest request;
  request.round = round;
  request.identity = 1000 + static_cast<std::uint64_t>(round);
  request.sentAt = T0 + milliseconds(ms);
  return request;
}

struct Left {
  int round;
  RoundResult result;
  std::int64_t roundTripUs;
  bool late;
  bool operator==(const Left&) const = default;
};

std::vector<Left> leaving(PendingRequests& open) {
  std::vector<Left> left;
  for (const OpenRequest& r : open.takeEnded()) left.push_back({r.round, r.result, r.roundTripUs, r.answeredLate});
  return left;
}

TEST(PendingRequests, AnswersInAnyOrderRoundsInSendOrder) {
  PendingRequests open(milliseconds(1000));
  for (int round = 1; round <= 3; ++round) open.add(sentAt(round, (round - 1) * 200));

  std::int64_t trip = -1;
  EXPECT_EQ(open.answer(1002, T0 + milliseconds(300), &trip), AnswerMatch::Answers);
  EXPECT_EQ(trip, 100000);
  EXPECT_EQ(open.answer(1002, T0 + milliseconds(350)), AnswerMatch::Duplicate);
  EXPECT_EQ(open.answer(0, T0), AnswerMatch::Unknown);
  EXPECT_EQ(open.answer(77, T0), AnswerMatch::Unknown);
  // The send an answer's kernel stamp is checked against: its own request's.
  EXPECT_EQ(open.sentAt(1002), T0 + milliseconds(200));
  EXPECT_EQ(open.sentAt(77), std::nullopt);
  EXPECT_TRUE(leaving(open).empty()) << "round 2 waits behind round 1";
  EXPECT_EQ(open.nextDeadline(), T0 + milliseconds(1000));

  EXPECT_EQ(open.expire(T0 + milliseconds(999)), 0);
  EXPECT_EQ(open.expire(T0 + milliseconds(1000)), 1);
  EXPECT_EQ(leaving(open), (std::vector<Left>{{1, RoundResult::TimedOut, -1, false}, {2, RoundResult::Answered, 100000, false}}));
  EXPECT_EQ(open.answer(1001, T0 + milliseconds(1100)), AnswerMatch::Unknown) << "round 1 has left the table";
  EXPECT_EQ(open.sentAt(1001), std::nullopt);
  EXPECT_EQ(open.nextDeadline(), T0 + milliseconds(1400));

  EXPECT_TRUE(open.endOldestWaiting(RoundResult::ReceiveError, 111));
  open.add(sentAt(4, 600));
  EXPECT_EQ(open.answer(1003, T0 + milliseconds(700)), AnswerMatch::Late);
  EXPECT_EQ(open.answer(1003, T0 + milliseconds(701)), AnswerMatch::Duplicate);
  open.stopAll();
  EXPECT_FALSE(open.endOldestWaiting(RoundResult::Closed)) << "none waits";
  EXPECT_FALSE(open.nextDeadline());
  EXPECT_EQ(leaving(open), (std::vector<Left>{{3, RoundResult::ReceiveError, -1, true}, {4, RoundResult::Stopped, -1, false}}));
  EXPECT_TRUE(open.empty());
}

// A paced run against a dead path, a request every 200 ms, each waiting 1 s: however long it runs,
// at most -W / -i + 1 requests are open.
TEST(PendingRequests, StayAsFewAsTheWaitOverTheInterval) {
  PendingRequests open(milliseconds(1000));
  std::size_t most = 0;
  int recorded = 0;
  for (int round = 1; round <= 10000; ++round) {
    const auto now = T0 + milliseconds((round - 1) * 200);
    open.expire(now);
    recorded += static_cast<int>(open.takeEnded().size());
    open.add(sentAt(round, (round - 1) * 200));
    most = std::max(most, open.size());
  }
  EXPECT_LE(most, 6u);
  EXPECT_EQ(recorded + static_cast<int>(open.size()), 10000);
}

}  // namespace
}  // namespace connchk::client
