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

std::size_t accountQueryLength(std::size_t identities) {
  return layout_e::HeaderLength + identities * layout_e::IdentitySize;
}

std::size_t accountAnswerLength(std::size_t identities) {
  return layout_e::HeaderLength + identities * layout_e::EntrySize;
}

namespace {
void putAccountHeader(std::uint8_t* buf, std::uint64_t queryTime, const Marker& marker, std::size_t count) {
  putU64(buf, layout_e::QueryTime, queryTime);
  putMarker(buf, layout_e::Marker, marker);
  buf[layout_e::Version] = layout_e::CurrentVersion;
  buf[layout_e::Count] = static_cast<std::uint8_t>(count);
}

// The count of a layout E message with `marker` whose whole header was received; 0 when it is none.
std::size_t accountCount(const std::uint8_t* bytes, std::size_t length, const Marker& marker) {
  if (length < layout_e::HeaderLength || !hasMarker(bytes, length, layout_e::Marker, marker)) return 0;
  if (bytes[layout_e::Version] != layout_e::CurrentVersion) return 0;
  const std::size_t count = bytes[layout_e::Count];
  return count <= layout_e::MaxIdentities ? count : 0;
}
}  // namespace

std::vector<std::uint8_t> writeAccountQuery(std::uint64_t queryTime, std::span<const std::uint64_t> identities,
                                            std::size_t padTo) {
  const std::size_t count = std::min(identities.size(), layout_e::MaxIdentities);
  std::vector<std::uint8_t> query(std::max(accountQueryLength(count), padTo), 0);
  putAccountHeader(query.data(), queryTime, AccountQueryMarker, count);
  for (std::size_t i = 0; i < count; ++i) putU64(query.data(), accountQueryLength(i), identities[i]);
  return query;
}

std::optional<AccountQuery> readAccountQuery(const std::uint8_t* bytes, std::size_t length) {
  const std::size_t count = accountCount(bytes, length, AccountQueryMarker);
  if (count == 0 || length < accountQueryLength(count)) return std::nullopt;
  AccountQuery query{readU64(bytes, layout_e::QueryTime), {}};
  for (std::size_t i = 0; i < count; ++i) query.identities.push_back(readU64(bytes, accountQueryLength(i)));
  return query;
}

std::size_t accountQueryNeeds(const std::uint8_t* bytes, std::size_t length) {
  if (!hasMarker(bytes, length, layout_e::Marker, AccountQueryMarker)) return 0;
  if (length < layout_e::HeaderLength) return layout_e::HeaderLength;
  const std::size_t count = std::min<std::size_t>(bytes[layout_e::Count], layout_e::MaxIdentities);
  return accountQueryLength(count);
}

std::vector<std::uint8_t> writeAccountAnswer(std::uint64_t queryTime, std::span<const RequestArrival> entries) {
  const std::size_t count = std::min(entries.size(), layout_e::MaxIdentities);
  std::vector<std::uint8_t> answer(accountAnswerLength(count), 0);
  putAccountHeader(answer.data(), queryTime, AccountAnswerMarker, count);
  for (std::size_t i = 0; i < count; ++i) {
    const RequestArrival& e = entries[i];
    std::uint8_t* at = answer.data() + accountAnswerLength(i);
    putU64(at, 0, e.identity);
    if (!e.arrived) continue;  // an identity the server does not know (or will not tell) says nothing more
    at[8] = static_cast<std::uint8_t>(layout_e::FlagArrived | (e.ttl >= 0 ? layout_e::FlagTtlKnown : 0) |
                                      (e.tos >= 0 ? layout_e::FlagTosKnown : 0) | (e.ipv6 ? layout_e::FlagIpv6 : 0));
    at[9] = static_cast<std::uint8_t>(e.service);
    at[10] = e.protocol;
    at[11] = static_cast<std::uint8_t>(std::max(e.ttl, 0));
    at[12] = static_cast<std::uint8_t>(std::max(e.tos, 0));
    putU16(at, 14, e.size);
    putU16(at, 16, e.port);
    if (e.ipv6) {
      std::memcpy(at + 20, e.address.data(), 16);
    } else {
      at[30] = 0xFF;
      at[31] = 0xFF;
      std::memcpy(at + 32, e.address.data(), 4);
    }
    putU32(at, 36, e.ageMs);
  }
  return answer;
}

std::optional<AccountAnswer> readAccountAnswer(const std::uint8_t* bytes, std::size_t length) {
  const std::size_t count = accountCount(bytes, length, AccountAnswerMarker);
  if (count == 0 || length < accountAnswerLength(count)) return std::nullopt;
  AccountAnswer answer{readU64(bytes, layout_e::QueryTime), {}};
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t* at = bytes + accountAnswerLength(i);
    RequestArrival e;
    e.identity = readU64(at, 0);
    const std::uint8_t flags = at[8];
    e.arrived = (flags & layout_e::FlagArrived) != 0;
    if (e.arrived) {
      e.service = static_cast<AccountService>(at[9]);
      e.protocol = at[10];
      e.ttl = (flags & layout_e::FlagTtlKnown) ? at[11] : -1;
      e.tos = (flags & layout_e::FlagTosKnown) ? at[12] : -1;
      e.size = readU16(at, 14);
      e.port = readU16(at, 16);
      e.ipv6 = (flags & layout_e::FlagIpv6) != 0;
      std::memcpy(e.address.data(), e.ipv6 ? at + 20 : at + 32, e.ipv6 ? 16 : 4);
      e.ageMs = readU32(at, 36);
    }
    answer.entries.push_back(e);
  }
  return answer;
}

}  // namespace connchk
