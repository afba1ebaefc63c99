#include <sys/socket.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/protocol.h"
#include "server/request_rules.h"
#include "server/sender_statistics.h"
#include "server/services.h"

namespace connchk::server {
namespace {

platform::Address address(const std::string& literal, std::uint16_t port = 0) {
  return platform::Address::parse(literal, port).value();
}

// 10.0.x.y for the n-th of many senders.
platform::Address numbered(std::uint32_t n) {
  const std::uint8_t bytes[4] = {10, 0, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)};
  return platform::Address::fromBytes(platform::Family::IPv4, bytes);
}

// An IPv4 peer as a dual-stack socket reports it: ::ffff:a.b.c.d.
platform::Address mapped(const char* dotted, std::uint16_t port) {
  sockaddr_storage six{};
  const socklen_t length = address(dotted, port).toSockaddr(six, platform::Family::IPv6);
  return platform::Address::fromSockaddr(reinterpret_cast<const sockaddr*>(&six), length).value();
}

class Lines : public StatisticsView {
 public:
  void appendStatisticsLine(const std::string& line) override {
    std::lock_guard<std::mutex> hold(mutex);
    lines.push_back(line);
  }
  std::mutex mutex;
  std::vector<std::string> lines;
};

TEST(SenderStatistics, ShowsEachAddressOnceWithItsFirstSize) {
  SenderStatistics statistics;
  Lines view;
  statistics.setView(&view);
  // A host counts once whatever its port or the family of the socket it came through; the
  // unspecified address is no sender.
  const std::pair<platform::Address, unsigned long> requests[] = {
      {address("10.1.2.3", 4000), 32},      {address("10.1.2.3", 4001), 84},  {mapped("10.1.2.3", 87), 20},
      {address("2001:db8::2", 855), 72},    {address("2001:db8::2", 87), 20}, {mapped("192.0.2.7", 9), 84},
      {address("192.0.2.7"), 52},           {address("0.0.0.0"), 1},          {address("::"), 2},
      {address("2001:db8:0:0:1::5"), 40},
  };
  for (const auto& [sender, length] : requests) statistics.record(sender, length);
  EXPECT_EQ(view.lines, (std::vector<std::string>{"10.1.2.3 размер 32", "2001:db8::2 размер 72", "192.0.2.7 размер 84",
                                                  "2001:db8::1:0:0:5 размер 40"}));
  const auto senders = statistics.activity();
  ASSERT_EQ(senders.size(), 4u);
  EXPECT_EQ(senders[0].requests, 3u);
  EXPECT_EQ(senders[1].address.textWithPort(), "[2001:db8::2]:0");
}

TEST(SenderStatistics, TheHundredAndFirstAddressGetsNoLine) {
  SenderStatistics statistics;
  Lines view;
  statistics.setView(&view);
  for (std::uint32_t i = 1; i <= 101; ++i) statistics.record(numbered(i), 20);
  EXPECT_EQ(view.lines.size(), 100u);
  EXPECT_EQ(view.lines.back(), "10.0.0.100 размер 20");
  EXPECT_EQ(statistics.filledSlots(), 100);
  statistics.record(numbered(1), 20);
  EXPECT_EQ(view.lines.size(), 100u) << "a known address still changes nothing";
}

TEST(SenderStatistics, ThreadsAddingDifferentAddressesTakeDifferentSlots) {
  SenderStatistics statistics;
  Lines view;
  statistics.setView(&view);
  std::vector<std::thread> threads;
  for (std::uint32_t t = 0; t < 4; ++t) {
    threads.emplace_back([&statistics, t] {
      for (std::uint32_t i = 1; i <= 20; ++i) statistics.record(numbered(t * 100 + i), 32);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(statistics.filledSlots(), 80);
  EXPECT_EQ(view.lines.size(), 80u);
}

// A raw IPv6 socket gives the payload alone: layout C is answered with its 20 bytes, ICMPv6 only
// as an echo request (type 128) with the 28-byte message; anything else is left as it came.
TEST(RawIpv6Answer, AnswersRequestsOfItsLayoutOnly) {
  const auto payload = [](std::size_t length, std::size_t markerAt, std::uint8_t type = 0) {
    std::vector<std::uint8_t> bytes(length, 0x5A);
    if (length > 0) bytes[0] = type;
    if (markerAt + MarkerSize <= length) putMarker(bytes.data(), markerAt, RequestMarker);
    return bytes;
  };
  const struct {
    std::uint8_t protocol;
    std::vector<std::uint8_t> payload;
    std::optional<std::size_t> answer;
  } cases[] = {
      {53, payload(32, 8), 20},
      {117, payload(20, 8), 20},
      {53, payload(19, 8), std::nullopt},  // the marker cut short
      {53, payload(32, 0), std::nullopt},  // at the UDP echo's other place, not layout C's
      {53, {}, std::nullopt},
      {Icmpv6Protocol, payload(28, 16, layout_d6::EchoRequest), 28},
      {Icmpv6Protocol, payload(28, 16, layout_d6::EchoReply), std::nullopt},  // the kernel's reply
      {Icmpv6Protocol, payload(27, 16, layout_d6::EchoRequest), std::nullopt},
      {Icmpv6Protocol, payload(28, 8, layout_d6::EchoRequest), std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << int{c.protocol} << ", " << c.payload.size() << " bytes");
    auto bytes = c.payload;
    EXPECT_EQ(makeRawIpv6Answer(c.protocol, bytes.data(), bytes.size()), c.answer);
    if (!c.answer) {
      EXPECT_EQ(bytes, c.payload);
      continue;
    }
    const std::size_t markerAt = c.protocol == Icmpv6Protocol ? layout_d::Marker : layout_a::Marker;
    EXPECT_TRUE(hasMarker(bytes.data(), *c.answer, markerAt, ReplyMarker));
    EXPECT_EQ(bytes[0], c.payload[0]) << "the send time (or the echo type) stays";
  }
}

// An IPv4 raw datagram, header first: ICMP is answered only as an intact echo request, so that a
// forged error, redirect or reply carrying the marker never makes the server send to a third party.
TEST(RawIpv4Answer, AnswersIcmpEchoRequestsOnly) {
  const auto datagram = [](std::uint8_t protocol, std::uint8_t icmpType, bool goodChecksum = true) {
    std::vector<std::uint8_t> bytes(IpHeaderSize + layout_d::Length, 0);
    bytes[0] = 0x45;
    bytes[IpProtocolOffset] = protocol;
    const std::uint8_t source[4] = {192, 0, 2, 9};
    std::copy(source, source + 4, bytes.begin() + IpSourceOffset);
    std::uint8_t* message = bytes.data() + IpHeaderSize;
    if (protocol == IcmpProtocol) {
      buildIcmpEchoRequest(message, 7, 0x1122334455667788ull);
      message[layout_d::Type] = icmpType;
      putU16(message, layout_d::Checksum, 0);
      if (goodChecksum) putU16(message, layout_d::Checksum, InternetChecksum(message, int(layout_d::Length)));
    } else {
      putMarker(message, layout_a::Marker, RequestMarker);
    }
    return bytes;
  };
  const struct {
    std::vector<std::uint8_t> datagram;
    std::optional<std::size_t> answer;
  } cases[] = {
      {datagram(IcmpProtocol, layout_d::EchoRequest), 28},
      {datagram(53, 0), 20},
      {datagram(IcmpProtocol, layout_d::EchoReply), std::nullopt},  // the kernel's reply to a request
      {datagram(IcmpProtocol, 3), std::nullopt},                     // destination unreachable
      {datagram(IcmpProtocol, 5), std::nullopt},                     // redirect
      {datagram(IcmpProtocol, 9), std::nullopt},                     // router advertisement
      {datagram(IcmpProtocol, 11), std::nullopt},                    // time exceeded
      {datagram(IcmpProtocol, 42), std::nullopt},
      {datagram(IcmpProtocol, layout_d::EchoRequest, false), std::nullopt},  // checksum 0
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "protocol " << int{c.datagram[IpProtocolOffset]} << ", type "
                                      << int{c.datagram[IpHeaderSize]});
    auto bytes = c.datagram;
    const auto answer = makeRawAnswer(bytes.data(), bytes.size());
    ASSERT_EQ(answer.has_value(), c.answer.has_value());
    if (!answer) {
      EXPECT_EQ(bytes, c.datagram);
      continue;
    }
    EXPECT_EQ(answer->length, *c.answer);
    EXPECT_EQ(answer->source, (std::array<std::uint8_t, 4>{192, 0, 2, 9}));
  }
}

TEST(ReceivedPacketLine, ReadsUnresolvedAsPlainText) {
  EXPECT_EQ(receivedPacketLine("10.1.2.3", ", протокол TCP, 32 байт данных"),
            "Принят пакет от 10.1.2.3 (unresolved), протокол TCP, 32 байт данных");
  EXPECT_EQ(receivedPacketLine("10.1.2.3", " %s%n%x"), "Принят пакет от 10.1.2.3 (unresolved) %s%n%x")
      << "nothing in the line is taken as a format";
}

// A service looks again before it sleeps only while datagrams come close together: a burst is
// caught by the looks, and a trickle of wider gaps costs one fruitless look, then none.
TEST(LookBeforeSleep, LooksOnlyWhileTheGapsAreShort) {
  using us = std::chrono::microseconds;
  LookBeforeSleep look;
  LookBeforeSleep::Clock::time_point now{};
  struct Spell {
    bool caught;  // a look was still going when the datagram came
    us wasted;    // looking that found nothing before the service slept
  };
  // One idle spell that a datagram ends `gap` after nothing more waited.
  const auto idleFor = [&](us gap) {
    us looked{0};
    while (looked < gap && look.lookAgain(now + looked)) looked += us(1);
    now += gap;
    look.arrived(now);
    return looked == gap ? Spell{true, us(0)} : Spell{false, looked};
  };
  const struct {
    us gap;
    int times;
    int caught;
    us wasted;
  } steps[] = {
      {us(10), 1, 0, us(0)},    // an idle service sleeps at once
      {us(10), 20, 20, us(0)},  // then a burst is caught look after look
      {us(60), 1, 1, us(0)},
      {us(100), 50, 0, us(60)},  // a trickle: one look in vain, then straight to sleep
      {us(10), 2, 1, us(0)},    // a burst again: the first gap shows it, the next is caught
  };
  for (const auto& step : steps) {
    int caught = 0;
    us wasted{0};
    for (int i = 0; i < step.times; ++i) {
      const Spell spell = idleFor(step.gap);
      caught += spell.caught;
      wasted += spell.wasted;
    }
    EXPECT_EQ(caught, step.caught) << step.gap.count() << " us gaps";
    EXPECT_EQ(wasted, step.wasted) << step.gap.count() << " us gaps";
  }
}

}  // namespace
}  // namespace connchk::server
