#include "common/protocol.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "common/text_format.h"

namespace connchk {
namespace {

using Buffer = std::array<std::uint8_t, ReceiveBufferSize>;

std::vector<std::uint8_t> bytes(const std::uint8_t* p, std::size_t n) { return {p, p + n}; }

TEST(Markers, AreEightOnesThenTheirLetters) {
  EXPECT_EQ(bytes(RequestMarker.data(), 12),
            (std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x43, 0x4C, 0x49, 0x51}));
  EXPECT_EQ(ReplyMarker[11], 0x52);
  EXPECT_EQ(EchoPort, 87);
  EXPECT_EQ(TerminalPort, 855);
  EXPECT_EQ(ReceiveTimeout, 5000);
}

TEST(Markers, AreFoundOnlyWhollyInsideWhatWasReceived) {
  Buffer buf{};
  putMarker(buf.data(), 8, ReplyMarker);
  EXPECT_TRUE(hasMarker(buf.data(), 20, 8, ReplyMarker));
  EXPECT_FALSE(hasMarker(buf.data(), 20, 8, RequestMarker));
  EXPECT_FALSE(hasMarker(buf.data(), 19, 8, ReplyMarker)) << "a marker cut by the receive length is no marker";
  EXPECT_FALSE(hasMarker(buf.data(), 20, 0, ReplyMarker)) << "only the given offset is looked at";
  buf[19] ^= 1;
  EXPECT_FALSE(hasMarker(buf.data(), 20, 8, ReplyMarker)) << "the last word counts too";
}

TEST(Layouts, EchoRequestIsTimestampThenMarkerAndAtLeastTwentyBytes) {
  Buffer buf{};
  buf.fill(0xAA);
  buildEchoRequest(buf.data(), 0x0102030405060708ULL);
  EXPECT_EQ(bytes(buf.data(), 8), (std::vector<std::uint8_t>{8, 7, 6, 5, 4, 3, 2, 1})) << "little-endian, low half first";
  EXPECT_TRUE(hasMarker(buf.data(), 20, 8, RequestMarker));
  EXPECT_EQ(buf[20], 0xAA) << "filler is left as the buffer holds it";
  EXPECT_EQ(echoRequestLength(12), 20u);
  EXPECT_EQ(echoRequestLength(19), 20u);
  EXPECT_EQ(echoRequestLength(1500), 1500u);
  EXPECT_EQ(rawRequestLength(12), 20u) << "a raw request carries its whole marker";
  EXPECT_EQ(rawRequestLength(64), 64u);
}

TEST(Layouts, TerminalRequestCarriesTheTerminalNumberAndIsEightBytesLonger) {
  Buffer buf{};
  buildTerminalRequest(buf.data(), 42, 7);
  EXPECT_EQ(bytes(buf.data() + 8, 4), (std::vector<std::uint8_t>{7, 0, 0, 0}));
  EXPECT_TRUE(hasMarker(buf.data(), 24, 12, RequestMarker));
  EXPECT_EQ(readU64(buf.data(), 0), 42u);
  EXPECT_EQ(terminalRequestLength(12), 32u);
  EXPECT_EQ(terminalRequestLength(24), 32u);
  EXPECT_EQ(terminalRequestLength(1500), 1508u);
}

TEST(Layouts, IcmpEchoRequestIsTwentyEightBytesWithAValidChecksum) {
  Buffer buf{};
  buildIcmpEchoRequest(buf.data(), 0xBEEF, 0x1122334455667788ULL);
  EXPECT_EQ(buf[0], 8);
  EXPECT_EQ(buf[1], 0);
  EXPECT_EQ(readU16(buf.data(), 4), 0xBEEF);
  EXPECT_EQ(readU16(buf.data(), 6), 0);
  EXPECT_EQ(readU64(buf.data(), 8), 0x1122334455667788ULL);
  EXPECT_TRUE(hasMarker(buf.data(), 28, 16, RequestMarker));
  EXPECT_EQ(InternetChecksum(buf.data(), 28), 0) << "a message with its right checksum sums to zero";
}

TEST(Layouts, IcmpEchoPaddedToTheSizeCarriesAChecksumOverTheWholeMessage) {
  EXPECT_EQ(icmpRequestLength(12), 28u);
  EXPECT_EQ(icmpRequestLength(1000), 1000u);
  for (const std::size_t length : {std::size_t{29}, std::size_t{1000}, std::size_t{1473}}) {
    std::vector<std::uint8_t> message(length, 0);
    message.back() = 0xA5;  // filler that a checksum over 28 bytes would miss
    buildIcmpEchoRequest(message.data(), 0x0102, 0x1122334455667788ULL, length);
    EXPECT_EQ(InternetChecksum(message.data(), static_cast<int>(length)), 0) << length;
    EXPECT_TRUE(hasMarker(message.data(), length, 16, RequestMarker)) << length;
  }
}

TEST(Layouts, Icmpv6EchoFollowsLayoutDWithItsOwnTypesAndTheKernelsChecksum) {
  Buffer buf{};
  buf.fill(0xAA);
  buildIcmpv6EchoRequest(buf.data(), 0xBEEF, 0x1122334455667788ULL);
  EXPECT_EQ(bytes(buf.data(), 8), (std::vector<std::uint8_t>{128, 0, 0, 0, 0xEF, 0xBE, 0, 0}))
      << "type 128, checksum left to the kernel, identifier as in IPv4";
  const auto request = readIcmpEcho(buf.data(), 28, RequestMarker);
  ASSERT_TRUE(request.has_value());
  EXPECT_EQ(request->type, layout_d6::EchoRequest);
  EXPECT_EQ(request->identifier, 0xBEEF);
  EXPECT_EQ(request->timestamp, 0x1122334455667788ULL);
  EXPECT_FALSE(readIcmpEcho(buf.data(), 27, RequestMarker)) << "a marker cut by the receive is no marker";
  EXPECT_FALSE(readIcmpEcho(buf.data(), 28, ReplyMarker));

  buf[1] = 5;  // whatever code came in
  buf[2] = 0x12;
  EXPECT_EQ(buildIcmpv6Answer(buf.data()), 28u);
  EXPECT_EQ(bytes(buf.data(), 8), (std::vector<std::uint8_t>{128, 0, 0, 0, 0xEF, 0xBE, 0, 0}))
      << "the type stays, as in the IPv4 answer";
  const auto answer = readIcmpEcho(buf.data(), 28, ReplyMarker);
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->timestamp, 0x1122334455667788ULL);
}

TEST(Checksum, FollowsRfc1071) {
  std::array<std::uint8_t, 28> zeros{};
  EXPECT_EQ(InternetChecksum(zeros.data(), 28), 0xFFFF);
  EXPECT_EQ(InternetChecksum(zeros.data(), 0), 0xFFFF);
  EXPECT_EQ(InternetChecksum(zeros.data(), -3), 0xFFFF);
  // The example of RFC 1071 section 3: words 0001 f203 f4f5 f6f7 sum to ddf2 (before the complement).
  const std::uint8_t example[] = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
  const std::uint16_t sum = InternetChecksum(example, 8);
  // Read as host-order words the bytes swap, and so does the folded sum.
  EXPECT_EQ(static_cast<std::uint16_t>(~sum), 0xf2dd);
}

TEST(RoundTrip, ReadsMinutesSecondsAndMilliseconds) {
  const std::uint64_t t0 = 130000000000000000ULL;
  EXPECT_EQ(RoundTripText(t0, t0 + 610050000ULL), "1:01.005");
  EXPECT_EQ(RoundTripText(t0, t0 + 12340000ULL), "0:01.234");
  EXPECT_EQ(RoundTripText(t0, t0 + 40000ULL), "0:00.004");
  EXPECT_EQ(RoundTripText(t0, t0 + 9999ULL), "0:00.000") << "truncated, not rounded";
}

TEST(SendTimestamp, CountsHundredNanosecondsSince1601) {
  const std::uint64_t now = SendTimestamp();
  // 2020-01-01 in these units is 132223104000000000; 2100-01-01 is 157469184000000000.
  EXPECT_GT(now, 132223104000000000ULL);
  EXPECT_LT(now, 157469184000000000ULL);
  EXPECT_LE(now, SendTimestamp());
}

TEST(RawAnswer, OfLayoutCIsTheTimestampAndTheReplyMarker) {
  Buffer buf{};
  buf[IpProtocolOffset] = 53;
  buildEchoRequest(buf.data() + IpHeaderSize, 0xABCDEF);
  EXPECT_EQ(rawMarkerOffset(53), 28u);
  EXPECT_EQ(rawTimestampOffset(53), 20u);
  ASSERT_EQ(buildRawAnswer(buf.data()), 20u);
  EXPECT_EQ(readU64(buf.data(), 0), 0xABCDEFu);
  EXPECT_TRUE(hasMarker(buf.data(), 20, 8, ReplyMarker));
}

TEST(RawAnswer, OfIcmpKeepsTypeIdentifierAndTimestampWithAFreshChecksum) {
  Buffer buf{};
  buf[IpProtocolOffset] = 1;
  buildIcmpEchoRequest(buf.data() + IpHeaderSize, 77, 0x55AA);
  buf[IpHeaderSize + 1] = 9;  // a code the answer must clear
  EXPECT_EQ(rawMarkerOffset(1), 36u);
  EXPECT_EQ(rawTimestampOffset(1), 28u);
  ASSERT_EQ(buildRawAnswer(buf.data()), 28u);
  EXPECT_EQ(buf[0], 8) << "type stays as received";
  EXPECT_EQ(buf[1], 0);
  EXPECT_EQ(readU16(buf.data(), 4), 77);
  EXPECT_EQ(readU64(buf.data(), 8), 0x55AAu);
  EXPECT_TRUE(hasMarker(buf.data(), 28, 16, ReplyMarker));
  EXPECT_EQ(InternetChecksum(buf.data(), 28), 0);
}

// The small text helpers both programs read typed values and print figures with.
TEST(TextHelpers, DigitsCaseCharactersAndMilliseconds) {
  const struct {
    const char* text;
    std::size_t maxDigits;
    std::optional<std::uint32_t> value;
  } digits[] = {{"0", 3, 0u},      {"117", 3, 117u}, {"1000", 3, std::nullopt}, {"", 3, std::nullopt},
                {"-1", 3, std::nullopt}, {"1 ", 3, std::nullopt}, {"+5", 3, std::nullopt}, {"0009", 4, 9u},
                {"999999999", 9, 999999999u}, {"9999999999", 12, std::nullopt}, {"٣", 3, std::nullopt}};
  for (const auto& d : digits) EXPECT_EQ(parseDigits(d.text, d.maxDigits), d.value) << d.text;
  EXPECT_EQ(asciiLower("TCP (порт 87) Telm-UDP"), "tcp (порт 87) telm-udp") << "Cyrillic stays as it is";
  EXPECT_EQ(utf8Characters("ВЕЛТ-IP"), 7u);
  EXPECT_EQ(utf8Characters(""), 0u);
  EXPECT_EQ(millisecondsText(1234), "1.234");
  EXPECT_EQ(millisecondsText(5), "0.005");
  EXPECT_EQ(millisecondsText(-5), "-0.005");
  EXPECT_EQ(millisecondsText(86400000000), "86400000.000");
}

}  // namespace
}  // namespace connchk
