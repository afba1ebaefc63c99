// The raw and ICMP responder's answer to a datagram (IPv4 header first, as a raw socket gives
// it): only a datagram with the request marker where its layout puts it is answered, with 20
// bytes for layout C and a 28-byte ICMP message whose checksum holds. The payload of a raw IPv6
// socket is answered by the same rules at the payload's own offsets.
#include <cstring>

#include "fuzz/fuzz_check.h"
#include "server/request_rules.h"

using namespace connchk;
using namespace connchk::server;

namespace {

// The same bytes as the payload of a raw IPv6 socket (no header in front), for layout C and ICMPv6.
void checkIpv6Answer(std::uint8_t protocol, const std::uint8_t* data, std::size_t size) {
  fuzz::Bytes payload = fuzz::received(data, size);
  const auto length = makeRawIpv6Answer(protocol, payload.data(), payload.size());
  if (!length) {
    FUZZ_CHECK(payload == fuzz::received(data, size));
    return;
  }
  const std::size_t markerAt = protocol == Icmpv6Protocol ? layout_d::Marker : layout_a::Marker;
  FUZZ_CHECK(*length == (protocol == Icmpv6Protocol ? layout_d::Length : layout_a::MinLength));
  FUZZ_CHECK(hasMarker(payload.data(), *length, markerAt, ReplyMarker));
  // The send time goes back as it came; an echo message keeps its type, identifier and sequence too.
  const std::size_t kept = protocol == Icmpv6Protocol ? layout_d::Code : layout_a::Marker;
  FUZZ_CHECK(std::memcmp(payload.data(), data, kept) == 0);
  if (protocol == Icmpv6Protocol) FUZZ_CHECK(std::memcmp(payload.data() + 4, data + 4, 12) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  checkIpv6Answer(53, data, size);
  checkIpv6Answer(Icmpv6Protocol, data, size);
  fuzz::Bytes packet = fuzz::received(data, size);
  const auto answer = makeRawAnswer(packet.data(), packet.size());
  if (!answer) {
    FUZZ_CHECK(packet == fuzz::received(data, size));
    return 0;
  }
  FUZZ_CHECK(std::memcmp(answer->source.data(), data + IpSourceOffset, answer->source.size()) == 0);
  if (data[IpProtocolOffset] == IcmpProtocol) {
    FUZZ_CHECK(answer->length == layout_d::Length);
    FUZZ_CHECK(packet[layout_d::Code] == 0);
    FUZZ_CHECK(InternetChecksum(packet.data(), static_cast<int>(layout_d::Length)) == 0);
    FUZZ_CHECK(hasMarker(packet.data(), answer->length, layout_d::Marker, ReplyMarker));
  } else {
    FUZZ_CHECK(answer->length == layout_a::MinLength);
    FUZZ_CHECK(hasMarker(packet.data(), answer->length, layout_a::Marker, ReplyMarker));
    FUZZ_CHECK(std::memcmp(packet.data(), data + IpHeaderSize, TimestampSize) == 0);
  }
  return 0;
}
