#include "client/answer_identity.h"

#include <cstring>

#include "common/protocol.h"

namespace connchk::client {
namespace {

// The request's send time at `at` of what was received, and the whole of it received.
bool carriesSendTime(const std::uint8_t* sentTime, const std::uint8_t* received, std::size_t length,
                     std::size_t at) {
  return length >= at + TimestampSize && std::memcmp(received + at, sentTime, TimestampSize) == 0;
}

// A raw receive whose IPv4 header is the plain 20 bytes (version 4, no options).
bool plainIpv4Header(const std::uint8_t* received, std::size_t length) {
  return length >= IpHeaderSize && received[0] == 0x45;
}

}  // namespace

bool isEchoAnswer(const std::uint8_t* request, const std::uint8_t* received, std::size_t length) {
  return carriesSendTime(request + layout_a::Timestamp, received, length, layout_a::Timestamp) &&
         hasMarker(received, length, layout_a::Marker, ReplyMarker);
}

std::optional<std::size_t> findEchoAnswer(const std::uint8_t* request, const std::uint8_t* received,
                                          std::size_t length) {
  for (std::size_t at = 0; at + layout_a::MinLength <= length; ++at) {
    if (isEchoAnswer(request, received + at, length - at)) return at;
  }
  return std::nullopt;
}

bool isTerminalAnswer(const std::uint8_t* request, const std::uint8_t* received, std::size_t length) {
  return carriesSendTime(request + layout_b::Timestamp, received, length, layout_b::Timestamp) &&
         hasMarker(received, length, layout_b::Marker, ReplyMarker);
}

bool isRawAnswer(const std::uint8_t* request, const std::uint8_t* received, std::size_t length) {
  return plainIpv4Header(received, length) &&
         carriesSendTime(request + layout_a::Timestamp, received, length, IpHeaderSize + layout_a::Timestamp) &&
         hasMarker(received, length, IpHeaderSize + layout_a::Marker, ReplyMarker);
}

bool isIcmpEchoReply(const std::uint8_t* request, const std::uint8_t* received, std::size_t length) {
  return plainIpv4Header(received, length) && received[IpProtocolOffset] == IcmpProtocol &&
         isEchoReplyMessage(request, received + IpHeaderSize, length - IpHeaderSize, layout_d::EchoReply,
                            readU16(request, layout_d::Identifier));
}

bool isEchoReplyMessage(const std::uint8_t* request, const std::uint8_t* message, std::size_t length,
                        std::uint8_t replyType, std::uint16_t identifier) {
  const auto fields = readIcmpEcho(message, length, RequestMarker);
  return fields && fields->type == replyType && fields->identifier == identifier &&
         carriesSendTime(request + layout_d::Timestamp, message, length, layout_d::Timestamp);
}

std::optional<std::uint64_t> echoAnswerTime(const std::uint8_t* received, std::size_t length) {
  if (length < layout_a::Timestamp + TimestampSize || !hasMarker(received, length, layout_a::Marker, ReplyMarker)) {
    return std::nullopt;
  }
  return readU64(received, layout_a::Timestamp);
}

std::optional<std::uint64_t> rawAnswerTime(const std::uint8_t* received, std::size_t length) {
  if (!plainIpv4Header(received, length)) return std::nullopt;
  return echoAnswerTime(received + IpHeaderSize, length - IpHeaderSize);
}

std::optional<std::uint64_t> icmpEchoReplyTime(const std::uint8_t* received, std::size_t length) {
  if (!plainIpv4Header(received, length) || received[IpProtocolOffset] != IcmpProtocol) return std::nullopt;
  return echoReplyMessageTime(received + IpHeaderSize, length - IpHeaderSize, layout_d::EchoReply);
}

std::optional<std::uint64_t> echoReplyMessageTime(const std::uint8_t* message, std::size_t length,
                                                  std::uint8_t replyType) {
  const auto fields = readIcmpEcho(message, length, RequestMarker);
  if (!fields || fields->type != replyType || length < layout_d::Timestamp + TimestampSize) return std::nullopt;
  return readU64(message, layout_d::Timestamp);
}

}  // namespace connchk::client
