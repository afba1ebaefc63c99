// The client's run control in-process: the button hooks, the count substitution, Stop, and the
// refusals that come before anything starts.
#include "client/run_control.h"

#include <gtest/gtest.h>

#include <atomic>

#include "common/protocol.h"
#include "tests/support/peers.h"
#include "tests/support/private_network.h"

namespace connchk::client {
namespace {

using connchk::testing::Bytes;
using connchk::testing::UdpPeer;
using std::chrono::milliseconds;

class RunControlTest : public ::testing::Test {
 protected:
  ActivityLog& log() { return log_; }
  ButtonHooks hooks() {
    return {[this] { ++started; }, [this] { ++restored; }, {}};
  }

  std::atomic<int> started{0};
  std::atomic<int> restored{0};

 private:
  ActivityLog log_ = ActivityLog::atPath(LogStyle::Client, "/dev/null");
};

RunRequest udpEcho(std::int32_t count) {
  RunRequest r;
  r.count = count;
  return r;
}

TEST_F(RunControlTest, ButtonsComeBackWhenARefusedConnectionEndsTheRun) {
  REQUIRE_PRIVATE_NETWORK();
  RunControl control(log(), hooks());
  RunRequest tcp;
  tcp.protocolNumber = 6;
  tcp.protocolIndex = 14;
  ASSERT_EQ(control.startRun(tcp), StartRefusal::None);
  EXPECT_EQ(started, 1);
  const RunOutcome outcome = control.waitForEnd();
  EXPECT_TRUE(outcome.startFailed);
  EXPECT_EQ(restored, 1);
  EXPECT_FALSE(control.running());
}

TEST_F(RunControlTest, InfiniteRunGoesOnUntilStopAndItsRecordReadsTwo) {
  REQUIRE_PRIVATE_NETWORK();
  UdpPeer server(EchoPort, [](const Bytes& r) { return connchk::testing::withReplyMarker(r); });
  RunControl control(log(), hooks());
  ASSERT_EQ(control.startRun(udpEcho(-1)), StartRefusal::None);
  ASSERT_TRUE(server.waitForCount(3, milliseconds(5000))) << "more rounds than the substituted count of 2";
  EXPECT_EQ(control.startRun(udpEcho(1)), StartRefusal::AlreadyRunning) << "two workers never run at once";
  control.stopRun();
  const RunOutcome outcome = control.waitForEnd();
  EXPECT_GE(outcome.answersAccepted, 3);
  EXPECT_EQ(control.lastParameters().count, 2);
  EXPECT_EQ(restored, 1);
}

TEST_F(RunControlTest, ANewRunIsNotStoppedByTheStopOfTheOneBefore) {
  REQUIRE_PRIVATE_NETWORK();
  UdpPeer server(EchoPort, [](const Bytes& r) { return connchk::testing::withReplyMarker(r); });
  RunControl control(log(), hooks());
  ASSERT_EQ(control.startRun(udpEcho(-1)), StartRefusal::None);
  ASSERT_TRUE(server.waitForCount(1, milliseconds(5000)));
  control.stopRun();
  control.waitForEnd();
  ASSERT_EQ(control.startRun(udpEcho(2)), StartRefusal::None);
  const RunOutcome second = control.waitForEnd();
  EXPECT_EQ(second.answersAccepted, 2);
}

TEST_F(RunControlTest, RefusesALongAddressBeforeAnythingStarts) {
  RunControl control(log(), hooks());
  RunRequest r;
  r.address = std::string(256, 'a');
  EXPECT_EQ(control.startRun(r), StartRefusal::AddressTooLong);
  EXPECT_EQ(started, 0);
  EXPECT_FALSE(control.running());
}

}  // namespace
}  // namespace connchk::client
