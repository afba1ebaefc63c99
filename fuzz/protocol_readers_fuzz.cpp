// The readers of the shared protocol that both programs apply to what they receive: the marker
// test at every layout's offset, the little-endian fields, the raw offsets by protocol byte, the
// checksum, the round-trip text of a timestamp that came back from the peer, and the account's
// query and answer, which the server and the client read from any peer.
#include <string>

#include "common/protocol.h"
#include "fuzz/fuzz_check.h"

using namespace connchk;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fuzz::Bytes datagram = fuzz::received(data, size);
  const std::uint8_t* bytes = datagram.data();
  for (std::size_t offset = 0; offset <= 48; ++offset) {
    for (const Marker* marker : {&RequestMarker, &ReplyMarker}) {
      if (hasMarker(bytes, size, offset, *marker)) FUZZ_CHECK(offset + MarkerSize <= size);
    }
  }
  if (size >= 8) {
    const std::uint64_t stamp = readU64(bytes, 0);
    FUZZ_CHECK(static_cast<std::uint32_t>(stamp) == readU32(bytes, 0));
    FUZZ_CHECK(static_cast<std::uint16_t>(stamp) == readU16(bytes, 0));
    // A peer may send back any timestamp; its text stays a short line.
    const std::string text = RoundTripText(stamp, SendTimestamp());
    FUZZ_CHECK(!text.empty() && text.size() < 64);
  }
  if (size > IpProtocolOffset) {
    const std::uint8_t protocol = bytes[IpProtocolOffset];
    FUZZ_CHECK(rawTimestampOffset(protocol) + TimestampSize <= rawMarkerOffset(protocol));
  }
  if (size >= 4) {
    // Written into a field the sum covers (the ICMP layout's), the checksum makes the sum come out 0.
    fuzz::Bytes message = datagram;
    putU16(message.data(), 2, 0);
    putU16(message.data(), 2, InternetChecksum(message.data(), static_cast<int>(size)));
    FUZZ_CHECK(InternetChecksum(message.data(), static_cast<int>(size)) == 0);
  }
  // An account query or answer is taken only whole, with 1 to 64 entries, and reads back the same
  // after it is written again.
  if (const auto query = readAccountQuery(bytes, size)) {
    FUZZ_CHECK(!query->identities.empty() && query->identities.size() <= 64);
    FUZZ_CHECK(accountQueryLength(query->identities.size()) <= size);
    const auto again = writeAccountQuery(query->queryTime, query->identities);
    const auto reread = readAccountQuery(again.data(), again.size());
    FUZZ_CHECK(reread && reread->identities == query->identities && reread->queryTime == query->queryTime);
  }
  if (const auto answer = readAccountAnswer(bytes, size)) {
    FUZZ_CHECK(!answer->entries.empty() && answer->entries.size() <= 64);
    FUZZ_CHECK(accountAnswerLength(answer->entries.size()) <= size);
    const auto again = writeAccountAnswer(answer->queryTime, answer->entries);
    const auto reread = readAccountAnswer(again.data(), again.size());
    FUZZ_CHECK(reread && reread->entries == answer->entries);
  }
  FUZZ_CHECK(accountQueryNeeds(bytes, size) <= accountQueryLength(64));
  return 0;
}
