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
  constexpr std::size_t type = IpHeaderSize + layout_d::Type;
  constexpr std::size_t identifier = IpHeaderSize + layout_d::Identifier;
  return plainIpv4Header(received, length) && length >= IpHeaderSize + layout_d::Length &&
         received[IpProtocolOffset] == IcmpProtocol && received[type] == layout_d::EchoReply &&
         readU16(received, identifier) == readU16(request, layout_d::Identifier) &&
         carriesSendTime(request + layout_d::Timestamp, received, length, IpHeaderSize + layout_d::Timestamp) &&
         hasMarker(received, length, IpHeaderSize + layout_d::Marker, RequestMarker);
}

}  // namespace connchk::client
