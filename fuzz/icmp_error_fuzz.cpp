// ICMP and ICMPv6 errors as a router or a forger may send them: the message of either family and
// the raw IPv4 datagram (header first). Whatever the bytes, nothing is read past them, and what is
// read as an error quotes no more than was received.
#include <span>

#include "common/platform/icmp_errors.h"
#include "fuzz/fuzz_check.h"

using namespace connchk::platform;

namespace {

void checkError(const std::optional<IcmpError>& error, std::size_t size) {
  if (!error) return;
  FUZZ_CHECK(error->quoted.transport.size() + 8 + 20 <= size);
  FUZZ_CHECK(!icmpErrorReason(*error).empty());
  FUZZ_CHECK(!error->quoted.portsQuoted || error->quoted.transport.size() >= 4);
  FUZZ_CHECK(error->kind == IcmpErrorKind::PacketTooBig || !error->mtu);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const connchk::fuzz::Bytes bytes = connchk::fuzz::received(data, size);
  const std::span<const std::uint8_t> message(bytes);
  const Address offender = Address::loopback(Family::IPv4);
  checkError(parseIcmpError(Family::IPv4, message, offender), size);
  checkError(parseIcmpError(Family::IPv6, message, Address::loopback(Family::IPv6)), size);
  checkError(parseIcmpErrorDatagram(message, offender), size);
  return 0;
}
