// What the client takes for the answer to its request, layout by layout: only the request's own
// send time with the layout's marker at its place, never past the bytes received.
#include "client/answer_identity.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "common/protocol.h"
#include "tests/support/peers.h"

namespace connchk::client {
namespace {

using connchk::testing::Bytes;
using connchk::testing::withReplyMarker;
using connchk::testing::withSendTimeMoved;
using connchk::testing::withSendTimeZero;

constexpr std::uint64_t SentAt = 0x01DA'0000'1234'5678ULL;
constexpr std::int64_t OneHour = 36'000'000'000LL;  // in 100-ns units

// A raw receive: a plain 20-byte IPv4 header of `protocol`, then `payload`.
Bytes behindIpHeader(std::uint8_t protocol, const Bytes& payload) {
  Bytes datagram(IpHeaderSize, 0);
  datagram[0] = 0x45;
  datagram[IpProtocolOffset] = protocol;
  datagram.insert(datagram.end(), payload.begin(), payload.end());
  return datagram;
}

struct Layout {
  std::string name;
  Bytes request;
  Bytes answer;            // the genuine answer as received
  std::size_t timeAt;      // where the send time stands in it
  std::size_t markerAt;    // where its marker stands
  std::function<bool(const std::uint8_t*, const std::uint8_t*, std::size_t)> isAnswer;
};

std::vector<Layout> layouts() {
  Bytes echo(32, 0xA5);
  buildEchoRequest(echo.data(), SentAt);
  Bytes terminal(40, 0x5A);
  buildTerminalRequest(terminal.data(), SentAt, 7);
  Bytes icmp(layout_d::Length, 0);
  buildIcmpEchoRequest(icmp.data(), 7, SentAt);
  Bytes icmpReply = icmp;
  icmpReply[layout_d::Type] = layout_d::EchoReply;
  Bytes rawAnswer(20, 0);
  buildEchoRequest(rawAnswer.data(), SentAt);
  putMarker(rawAnswer.data(), layout_a::Marker, ReplyMarker);
  return {
      {"A", echo, withReplyMarker(echo), 0, 8, isEchoAnswer},
      {"B", terminal, withReplyMarker(terminal, 12), 0, 12, isTerminalAnswer},
      {"C", echo, behindIpHeader(53, rawAnswer), 20, 28, isRawAnswer},
      {"D", icmp, behindIpHeader(IcmpProtocol, icmpReply), 28, 36, isIcmpEchoReply},
  };
}

bool judged(const Layout& layout, const Bytes& received) {
  return layout.isAnswer(layout.request.data(), received.data(), received.size());
}

TEST(AnswerIdentity, OnlyTheRequestsOwnSendTimeAndMarkerMakeTheAnswer) {
  for (const Layout& layout : layouts()) {
    SCOPED_TRACE("layout " + layout.name);
    EXPECT_TRUE(judged(layout, layout.answer));
    Bytes longer = layout.answer;
    longer.resize(longer.size() + 100, 0);
    EXPECT_TRUE(judged(layout, longer)) << "bytes after the fields do not matter";

    // Forged or stale send times: later, earlier, one tick off, zero.
    for (const std::int64_t shift : {OneHour, -OneHour, std::int64_t{1}, std::int64_t{-1}}) {
      EXPECT_FALSE(judged(layout, withSendTimeMoved(layout.answer, shift, layout.timeAt))) << shift;
    }
    EXPECT_FALSE(judged(layout, withSendTimeZero(layout.answer, layout.timeAt)));

    // The other marker, or one byte of it changed.
    Bytes otherMarker = layout.answer;
    putMarker(otherMarker.data(), layout.markerAt, layout.name == "D" ? ReplyMarker : RequestMarker);
    EXPECT_FALSE(judged(layout, otherMarker));
    Bytes bent = layout.answer;
    bent[layout.markerAt + 11] ^= 1;
    EXPECT_FALSE(judged(layout, bent));

    // Cut anywhere before the end of its fields, whatever the bytes after the cut hold.
    for (std::size_t length = 0; length < layout.markerAt + MarkerSize; ++length) {
      EXPECT_FALSE(layout.isAnswer(layout.request.data(), layout.answer.data(), length)) << "cut to " << length;
    }
  }
}

TEST(AnswerIdentity, RawDatagramsNeedAPlainHeaderAndIcmpAnEchoReplyToThisIdentifier) {
  for (const Layout& layout : layouts()) {
    if (layout.name != "C" && layout.name != "D") continue;
    SCOPED_TRACE("layout " + layout.name);
    Bytes withOptions = layout.answer;
    withOptions[0] = 0x46;
    EXPECT_FALSE(judged(layout, withOptions));
  }
  const Layout icmp = layouts()[3];
  Bytes request = icmp.answer;
  request[IpHeaderSize + layout_d::Type] = layout_d::EchoRequest;
  EXPECT_FALSE(judged(icmp, request)) << "the host's own request";
  Bytes otherIdentifier = icmp.answer;
  putU16(otherIdentifier.data(), IpHeaderSize + layout_d::Identifier, 8);
  EXPECT_FALSE(judged(icmp, otherIdentifier));
  Bytes notIcmp = icmp.answer;
  notIcmp[IpProtocolOffset] = 53;
  EXPECT_FALSE(judged(icmp, notIcmp));
}

TEST(AnswerIdentity, StreamFindsTheAnswerBehindBytesOfEarlierOnes) {
  const Layout echo = layouts()[0];
  const Bytes stale = withSendTimeMoved(echo.answer, -OneHour);
  Bytes stream = stale;
  stream.insert(stream.end(), {1, 2, 3});
  stream.insert(stream.end(), echo.answer.begin(), echo.answer.end());
  EXPECT_EQ(findEchoAnswer(echo.request.data(), stream.data(), stream.size()), stale.size() + 3);
  EXPECT_EQ(findEchoAnswer(echo.request.data(), echo.answer.data(), echo.answer.size()), 0u);
  // Its head not yet whole, or not there at all.
  EXPECT_FALSE(findEchoAnswer(echo.request.data(), stream.data(), stale.size() + 3 + 19));
  EXPECT_FALSE(findEchoAnswer(echo.request.data(), stale.data(), stale.size()));
  EXPECT_FALSE(findEchoAnswer(echo.request.data(), stale.data(), 0));
}

}  // namespace
}  // namespace connchk::client
