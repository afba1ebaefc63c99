// The terminal exchange's reading of a request and of a confirmation: a request is taken only
// with its marker and a terminal number whose port is 856 to 65535.
#include "fuzz/fuzz_check.h"
#include "server/request_rules.h"

using namespace connchk;
using namespace connchk::server;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fuzz::Bytes datagram = fuzz::received(data, size);
  if (const auto request = readTerminalRequest(datagram.data(), datagram.size())) {
    FUZZ_CHECK(hasMarker(datagram.data(), size, layout_b::Marker, RequestMarker));
    FUZZ_CHECK(request->terminal >= 1 && request->terminal <= LastTerminalNumber);
    FUZZ_CHECK(request->port == TerminalPort + request->terminal);
    FUZZ_CHECK(request->port > TerminalPort);
    FUZZ_CHECK(request->terminal == readU32(datagram.data(), layout_b::Terminal));
  }
  if (isConfirmation(datagram.data(), datagram.size())) {
    FUZZ_CHECK(size >= layout_b::Marker + MarkerSize);
  }
  return 0;
}
