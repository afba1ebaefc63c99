// Receive stamps: the stamp read from built control messages (both forms, among others, cut
// short, absent), carried over to the monotonic clock (a wall clock that stepped either way), the
// choice between the stamp and the receive's return, and real stamped receives on loopback.
#include "common/platform/receive_time.h"

#include <gtest/gtest.h>
#include <linux/time_types.h>
#include <netinet/in.h>

#include <cstring>
#include <optional>
#include <thread>
#include <vector>

#include "common/platform/sockets.h"
#include "tests/support/peers.h"
#include "tests/support/private_network.h"

namespace connchk::platform {
namespace {

using std::chrono::microseconds;
using std::chrono::nanoseconds;

constexpr std::int64_t Stamp = 1'765'000'000'123'456'789;  // a wall-clock time in ns since 1970

// A control part built control message by control message, as the kernel lays it out.
class Control {
 public:
  template <typename T>
  Control& add(int level, int type, const T& value, std::size_t length = sizeof(T)) {
    const std::size_t at = bytes_.size();
    bytes_.resize(at + CMSG_SPACE(length), 0);
    cmsghdr header{};
    header.cmsg_len = CMSG_LEN(length);
    header.cmsg_level = level;
    header.cmsg_type = type;
    std::memcpy(bytes_.data() + at, &header, sizeof header);
    std::memcpy(bytes_.data() + at + CMSG_LEN(0), &value, std::min(length, sizeof(T)));
    return *this;
  }
  std::optional<std::int64_t> stamp() {
    msghdr message{};
    message.msg_control = bytes_.empty() ? nullptr : bytes_.data();
    message.msg_controllen = bytes_.size();
    return readReceiveStamp(message);
  }

 private:
  std::vector<std::uint8_t> bytes_;
};

timespec oldForm(std::int64_t ns) { return timespec{ns / 1'000'000'000, ns % 1'000'000'000}; }
__kernel_timespec newForm(std::int64_t ns) { return __kernel_timespec{ns / 1'000'000'000, ns % 1'000'000'000}; }

TEST(ReceiveStamp, ReadFromControlMessages) {
  const int ttl = 64;
  EXPECT_EQ(Control().add(SOL_SOCKET, SO_TIMESTAMPNS_OLD, oldForm(Stamp)).stamp(), Stamp);
  EXPECT_EQ(Control().add(SOL_SOCKET, SO_TIMESTAMPNS_NEW, newForm(Stamp)).stamp(), Stamp);
  // Among the arrival marks, in either order.
  EXPECT_EQ(Control().add(IPPROTO_IP, IP_TTL, ttl).add(SOL_SOCKET, SO_TIMESTAMPNS, oldForm(Stamp)).stamp(), Stamp);
  EXPECT_EQ(Control().add(SOL_SOCKET, SO_TIMESTAMPNS, oldForm(Stamp)).add(IPPROTO_IP, IP_TTL, ttl).stamp(), Stamp);

  EXPECT_EQ(Control().stamp(), std::nullopt);
  EXPECT_EQ(Control().add(IPPROTO_IP, IP_TTL, ttl).stamp(), std::nullopt);
  // The stamp's type at another level is something else.
  EXPECT_EQ(Control().add(IPPROTO_IP, SO_TIMESTAMPNS, oldForm(Stamp)).stamp(), std::nullopt);
  // Cut short: a payload smaller than a timespec is not read.
  EXPECT_EQ(Control().add(SOL_SOCKET, SO_TIMESTAMPNS, oldForm(Stamp), 8).stamp(), std::nullopt);
  // A zero stamp is the kernel's "none".
  EXPECT_EQ(Control().add(SOL_SOCKET, SO_TIMESTAMPNS, oldForm(0)).stamp(), std::nullopt);
}

TEST(ReceiveStamp, CarriedOverToTheMonotonicClock) {
  const MonotonicTime monotonic{std::chrono::seconds(5000)};
  const MonotonicTime sent = monotonic - microseconds(100);
  struct Case {
    const char* what;
    std::int64_t readingWallNs;  // the wall clock read after the receive
    std::optional<MonotonicTime> stamped;
    MonotonicTime arrival;  // with the request sent at `sent`
  };
  const Case cases[] = {
      {"stamped 30 us before the reading", Stamp + 30'000, monotonic - microseconds(30), monotonic - microseconds(30)},
      {"stamped at the reading", Stamp, monotonic, monotonic},
      {"stamped as the request left", Stamp + 100'000, sent, sent},
      // Stepped back by 1 s between the stamp and the reading: the stamp lies in the future.
      {"wall clock stepped back", Stamp - 1'000'000'000 + 30'000, std::nullopt, monotonic},
      // Stepped forward by 1 s: the stamp seems older than the request it answers.
      {"wall clock stepped forward", Stamp + 1'000'030'000, monotonic - microseconds(1'000'030), monotonic},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const ClockReading reading{c.readingWallNs, monotonic};
    const ReceiveTime time{monotonic, stampOnMonotonic(Stamp, reading)};
    EXPECT_EQ(time.stamped, c.stamped);
    EXPECT_EQ(time.arrival(sent), c.arrival);
  }
  EXPECT_EQ((ReceiveTime{monotonic, std::nullopt}.arrival(sent)), monotonic) << "no stamp: the receive's return";
}

TEST(ReceiveStamp, ClocksReadTogether) {
  const MonotonicTime before = std::chrono::steady_clock::now();
  const ClockReading reading = readClocks();
  const MonotonicTime after = std::chrono::steady_clock::now();
  EXPECT_GE(reading.monotonic, before);
  EXPECT_LE(reading.monotonic, after);
  EXPECT_GT(reading.wallNs, Stamp - 365LL * 24 * 3600 * 1'000'000'000) << "a wall clock of these years";
}

// A real receive on loopback: the kernel stamps datagrams and stream segments alike, and the
// stamp lies between the send and the receive's return.
void expectStampedReceive(int type) {
  Socket listener = testing::openedSocket(Family::IPv4, type);
  ASSERT_EQ(bindTo(listener.fd(), *Address::parse("127.0.0.1", 0)).code(), 0);
  const auto bound = localAddress(listener.fd());
  ASSERT_TRUE(bound);
  Socket sender = testing::openedSocket(Family::IPv4, type);
  Socket accepted;
  if (type == SOCK_STREAM) {
    ASSERT_EQ(listenOn(listener.fd(), 1).code(), 0);
    ASSERT_EQ(connectTo(sender.fd(), *bound).code(), 0);
    Address peer;
    auto taken = acceptFrom(listener.fd(), peer);
    ASSERT_EQ(taken.code(), 0);
    accepted = std::move(*taken);
  } else {
    ASSERT_EQ(connectTo(sender.fd(), *bound).code(), 0);
  }
  const int receiver = type == SOCK_STREAM ? accepted.fd() : listener.fd();
  askForReceiveStamps(receiver);

  // The kernel turns stamping on a moment after the first socket of the system asks for it: a
  // packet in between comes without a stamp. Bounded: 200 messages, 10 ms apart.
  for (int attempt = 0; attempt < 200; ++attempt) {
    const MonotonicTime beforeSend = std::chrono::steady_clock::now();
    ASSERT_EQ(sendBytes(sender.fd(), "stamp me", 8).value_or(0), 8u);
    char buffer[64];
    ReceiveTime time;
    Address from;
    const auto got = type == SOCK_STREAM ? receive(receiver, buffer, sizeof buffer, Wait::Block, time)
                                             : receiveFrom(receiver, buffer, sizeof buffer, from, Wait::Block, time);
    ASSERT_EQ(got.value_or(0), 8u);
    if (!time.stamped) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    // A wall clock being slewed moves the offset by parts per million: a millisecond is ample.
    EXPECT_GE(*time.stamped, beforeSend - std::chrono::milliseconds(1));
    EXPECT_LE(*time.stamped, time.returned);
    EXPECT_EQ(time.arrival(beforeSend - std::chrono::milliseconds(1)), *time.stamped);
    return;
  }
  ADD_FAILURE() << "no receive stamp in 200 messages";
}

TEST(ReceiveStamp, RealReceivesOnLoopback) {
  REQUIRE_PRIVATE_NETWORK();
  {
    SCOPED_TRACE("UDP");
    expectStampedReceive(SOCK_DGRAM);
  }
  {
    SCOPED_TRACE("TCP");
    expectStampedReceive(SOCK_STREAM);
  }
}

}  // namespace
}  // namespace connchk::platform
