// The raw and ICMP responder's answer to a datagram (IPv4 header first, as a raw socket gives
// it): only a datagram with the request marker where its layout puts it is answered, with 20
// bytes for layout C and a 28-byte ICMP message whose checksum holds.
#include <cstring>

#include "fuzz/fuzz_check.h"
#include "server/request_rules.h"

using namespace connchk;
using namespace connchk::server;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Bytes packet = fuzz::received(data, size);
  const auto answer = makeRawAnswer(packet.data(), packet.size());
  if (!answer) {
    FUZZ_CHECK(packet == fuzz::received(data, size));
    return 0;
  }
  std::uint32_t source = 0;
  std::memcpy(&source, data + IpSourceOffset, sizeof source);
  FUZZ_CHECK(answer->destinationNetworkOrder == source);
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
