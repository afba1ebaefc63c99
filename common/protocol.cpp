#include "common/protocol.h"

#include <algorithm>
#include <cstring>
#include <ctime>

#include "common/text_format.h"

namespace connchk {

void putU16(std::uint8_t* buf, std::size_t offset, std::uint16_t value) {
  buf[offset] = static_cast<std::uint8_t>(value);
  buf[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

void putU32(std::uint8_t* buf, std::size_t offset, std::uint32_t value) {
  putU16(buf, offset, static_cast<std::uint16_t>(value));
  putU16(buf, offset + 2, static_cast<std::uint16_t>(value >> 16));
}

void putU64(std::uint8_t* buf, std::size_t offset, std::uint64_t value) {
  putU32(buf, offset, static_cast<std::uint32_t>(value));
  putU32(buf, offset + 4, static_cast<std::uint32_t>(value >> 32));
}

std::uint16_t readU16(const std::uint8_t* buf, std::size_t offset) {
  return static_cast<std::uint16_t>(buf[offset] | (buf[offset + 1] << 8));
}

std::uint32_t readU32(const std::uint8_t* buf, std::size_t offset) {
  return readU16(buf, offset) | (static_cast<std::uint32_t>(readU16(buf, offset + 2)) << 16);
}

std::uint64_t readU64(const std::uint8_t* buf, std::size_t offset) {
  return readU32(buf, offset) | (static_cast<std::uint64_t>(readU32(buf, offset + 4)) << 32);
}

void putMarker(std::uint8_t* buf, std::size_t offset, const Marker& marker) {
  std::memcpy(buf + offset, marker.data(), marker.size());
}

bool hasMarker(const std::uint8_t* buf, std::size_t length, std::size_t offset, const Marker& marker) {
  if (length < offset + MarkerSize) return false;
  return std::memcmp(buf + offset, marker.data(), MarkerSize) == 0;
}

std::uint64_t SendTimestamp() {
  // Seconds between 1601-01-01 and 1970-01-01.
  constexpr std::uint64_t EpochShift = 11644473600ULL;
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return (static_cast<std::uint64_t>(now.tv_sec) + EpochShift) * 10000000ULL +
         static_cast<std::uint64_t>(now.tv_nsec) / 100;
}

std::uint16_t InternetChecksum(const std::uint8_t* buf, int length) {
  if (length <= 0) return 0xFFFF;
  std::uint32_t sum = 0;
  for (int i = 0; i < length; i += 2) {
    std::uint16_t word = buf[i];
    if (i + 1 < length) word = static_cast<std::uint16_t>(word | (buf[i + 1] << 8));
    sum += word;
  }
  std::uint32_t s = (sum & 0xFFFF) + (sum >> 16);
  s += s >> 16;
  return static_cast<std::uint16_t>(~s);
}

std::string RoundTripText(std::uint64_t t0, std::uint64_t t1) {
  const std::int64_t d = static_cast<std::int64_t>(t1 - t0);
  const std::int64_t seconds = d / 10000000;
  const std::int64_t millis = (d / 10000) % 1000;
  return format("%d:%02d.%03d", static_cast<int>(seconds / 60), static_cast<int>(seconds % 60),
                static_cast<int>(millis));
}

std::uint32_t icmpRequestLength(std::uint32_t size) {
  return std::max(size, static_cast<std::uint32_t>(layout_d::Length));
}

std::uint32_t echoRequestLength(std::uint32_t size) {
  return size < layout_a::MinLength ? static_cast<std::uint32_t>(layout_a::MinLength) : size;
}

std::uint32_t rawRequestLength(std::uint32_t size) { return echoRequestLength(size); }

std::uint32_t terminalRequestLength(std::uint32_t size) {
  const std::uint32_t l = size < layout_b::MinLength ? static_cast<std::uint32_t>(layout_b::MinLength) : size;
  return l + 8;
}

void buildEchoRequest(std::uint8_t* buf, std::uint64_t timestamp) {
  putU64(buf, layout_a::Timestamp, timestamp);
  putMarker(buf, layout_a::Marker, RequestMarker);
}

void buildTerminalRequest(std::uint8_t* buf, std::uint64_t timestamp, std::uint32_t terminal) {
  putU64(buf, layout_b::Timestamp, timestamp);
  putU32(buf, layout_b::Terminal, terminal);
  putMarker(buf, layout_b::Marker, RequestMarker);
}

namespace {
// Layout D with a zero checksum.
void putEchoRequest(std::uint8_t* buf, std::uint8_t type, std::uint16_t identifier, std::uint64_t timestamp) {
  buf[layout_d::Type] = type;
  buf[layout_d::Code] = 0;
  putU16(buf, layout_d::Checksum, 0);
  putU16(buf, layout_d::Identifier, identifier);
  putU16(buf, layout_d::Sequence, 0);
  putU64(buf, layout_d::Timestamp, timestamp);
  putMarker(buf, layout_d::Marker, RequestMarker);
}

// The answer of the ICMP responders, from the message at the front of `buf`.
void putEchoAnswer(std::uint8_t* buf) {
  buf[layout_d::Code] = 0;
  putU16(buf, layout_d::Checksum, 0);
  putMarker(buf, layout_d::Marker, ReplyMarker);
}
}  // namespace

void buildIcmpEchoRequest(std::uint8_t* buf, std::uint16_t identifier, std::uint64_t timestamp, std::size_t length) {
  putEchoRequest(buf, layout_d::EchoRequest, identifier, timestamp);
  putU16(buf, layout_d::Checksum, InternetChecksum(buf, static_cast<int>(std::max(length, layout_d::Length))));
}

void buildIcmpv6EchoRequest(std::uint8_t* buf, std::uint16_t identifier, std::uint64_t timestamp) {
  putEchoRequest(buf, layout_d6::EchoRequest, identifier, timestamp);
}

std::size_t buildIcmpv6Answer(std::uint8_t* buf) {
  putEchoAnswer(buf);
  return layout_d::Length;
}

std::optional<IcmpEchoFields> readIcmpEcho(const std::uint8_t* message, std::size_t length, const Marker& marker) {
  if (!hasMarker(message, length, layout_d::Marker, marker)) return std::nullopt;
  return IcmpEchoFields{message[layout_d::Type], readU16(message, layout_d::Identifier),
                        readU64(message, layout_d::Timestamp)};
}

std::size_t rawMarkerOffset(std::uint8_t ipProtocol) {
  return IpHeaderSize + (ipProtocol == IcmpProtocol ? layout_d::Marker : layout_a::Marker);
}

std::size_t rawTimestampOffset(std::uint8_t ipProtocol) {
  return IpHeaderSize + (ipProtocol == IcmpProtocol ? layout_d::Timestamp : layout_a::Timestamp);
}

std::size_t buildRawAnswer(std::uint8_t* buf) {
  if (buf[IpProtocolOffset] == IcmpProtocol) {
    // ICMP header and timestamp to the front; type, identifier and sequence stay as received.
    std::memmove(buf, buf + IpHeaderSize, layout_d::Marker);
    putEchoAnswer(buf);
    putU16(buf, layout_d::Checksum, InternetChecksum(buf, static_cast<int>(layout_d::Length)));
    return layout_d::Length;
  }
  std::memmove(buf, buf + IpHeaderSize, TimestampSize);
  putMarker(buf, layout_a::Marker, ReplyMarker);
  return layout_a::MinLength;
}

}  // namespace connchk
