#include "server/request_rules.h"

#include <cstring>

namespace connchk::server {

std::optional<std::size_t> echoMarkerOffset(EchoKind kind, const std::uint8_t* request, std::size_t length) {
  if (hasMarker(request, length, layout_a::Marker, RequestMarker)) return layout_a::Marker;
  if (kind == EchoKind::Udp && hasMarker(request, length, 0, RequestMarker)) return 0;
  return std::nullopt;
}

bool makeEchoAnswer(EchoKind kind, std::uint8_t* request, std::size_t length) {
  const auto markerAt = echoMarkerOffset(kind, request, length);
  if (!markerAt) return false;
  putMarker(request, *markerAt, ReplyMarker);
  return true;
}

std::optional<TerminalRequest> readTerminalRequest(const std::uint8_t* request, std::size_t length) {
  if (!hasMarker(request, length, layout_b::Marker, RequestMarker)) return std::nullopt;
  const std::uint32_t terminal = readU32(request, layout_b::Terminal);
  if (terminal < 1 || terminal > LastTerminalNumber) return std::nullopt;
  return TerminalRequest{terminal, static_cast<std::uint16_t>(TerminalPort + terminal)};
}

bool isConfirmation(const std::uint8_t* datagram, std::size_t length) {
  return hasMarker(datagram, length, layout_b::Marker, ReplyMarker);
}

// Only an intact echo request is answered: an answer to an error, a redirect or a reply, or to a
// damaged message, would be a message the host should never send (to a forged source, a third party).
bool isIcmpEchoRequest(const std::uint8_t* message, std::size_t length) {
  return length >= layout_d::Length && message[layout_d::Type] == layout_d::EchoRequest &&
         InternetChecksum(message, static_cast<int>(length)) == 0;
}

std::optional<RawAnswer> makeRawAnswer(std::uint8_t* packet, std::size_t length) {
  const std::uint8_t ipProtocol = length > IpProtocolOffset ? packet[IpProtocolOffset] : 0;
  if (!hasMarker(packet, length, rawMarkerOffset(ipProtocol), RequestMarker)) return std::nullopt;
  if (ipProtocol == IcmpProtocol && !isIcmpEchoRequest(packet + IpHeaderSize, length - IpHeaderSize)) return std::nullopt;
  // The marker lies past the header, so the whole source address field was received.
  RawAnswer answer{};
  std::memcpy(answer.source.data(), packet + IpSourceOffset, answer.source.size());
  answer.length = buildRawAnswer(packet);
  return answer;
}

std::optional<std::size_t> makeRawIpv6Answer(std::uint8_t protocol, std::uint8_t* payload, std::size_t length) {
  if (protocol == Icmpv6Protocol) {
    if (length == 0 || payload[layout_d::Type] != layout_d6::EchoRequest ||
        !hasMarker(payload, length, layout_d::Marker, RequestMarker)) {
      return std::nullopt;
    }
    return buildIcmpv6Answer(payload);
  }
  if (!hasMarker(payload, length, layout_a::Marker, RequestMarker)) return std::nullopt;
  putMarker(payload, layout_a::Marker, ReplyMarker);
  return layout_a::MinLength;
}

void RequestStream::take(const std::uint8_t* data, std::size_t n, bool peerTookAll) {
  held_.insert(held_.end(), data, data + n);
  decide(peerTookAll);
}

void RequestStream::decide(bool peerTookAll) {
  while (!held_.empty()) {
    if (open_) {
      // Bytes before the peer has the whole answer belong to this request: the next one waits.
      if (!peerTookAll) return sendHeld();
      if (held_.size() < layout_a::MinLength) return;  // held until more come or HoldPause
      if (!hasMarker(held_.data(), held_.size(), layout_a::Marker, RequestMarker)) return sendHeld();
      ended_.push_back({length_, false});
      open_ = false;
      continue;
    }
    if (held_.size() < layout_a::MinLength) return;  // the marker field is not whole yet
    if (!makeEchoAnswer(EchoKind::Tcp, held_.data(), held_.size())) {
      ended_.push_back({held_.size(), true});
      held_.clear();
      return;
    }
    open_ = true;
    length_ = 0;
    sendHeld();
    return;
  }
}

void RequestStream::sendHeld() {
  out_.insert(out_.end(), held_.begin(), held_.end());
  length_ += held_.size();
  held_.clear();
  // A connection keeps no large buffer once its bytes have gone.
  if (held_.capacity() > 4096) held_.shrink_to_fit();
}

void RequestStream::quiet(std::chrono::milliseconds quiet, bool peerTookAll) {
  if (!held_.empty()) {
    if (open_ && quiet >= HoldPause) {
      sendHeld();
    } else if (!open_ && quiet >= PiecePause) {
      ended_.push_back({held_.size(), true});  // fewer than 20 bytes: no request
      held_.clear();
    }
  } else if (open_ && peerTookAll && quiet >= EndPause) {
    ended_.push_back({length_, false});
    open_ = false;
  }
}

void RequestStream::closed() {
  if (!held_.empty()) {
    if (open_) {
      sendHeld();
    } else {
      // What came before the end is judged as it is.
      if (makeEchoAnswer(EchoKind::Tcp, held_.data(), held_.size())) {
        open_ = true;
        length_ = 0;
        sendHeld();
      } else {
        ended_.push_back({held_.size(), true});
        held_.clear();
      }
    }
  }
  if (open_) ended_.push_back({length_, false});
  open_ = false;
}

}  // namespace connchk::server
