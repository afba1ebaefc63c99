// The echo services' judgement of a request, UDP and TCP: an answer is the request with the reply
// marker in the place of the request marker, same length, every other byte unchanged; an
// erroneous request is left as it came.
#include <algorithm>

#include "fuzz/fuzz_check.h"
#include "server/request_rules.h"

using namespace connchk;
using namespace connchk::server;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  for (const EchoKind kind : {EchoKind::Udp, EchoKind::Tcp}) {
    fuzz::Bytes request = fuzz::received(data, size);
    const auto markerAt = echoMarkerOffset(kind, request.data(), request.size());
    const bool answered = makeEchoAnswer(kind, request.data(), request.size());
    FUZZ_CHECK(answered == markerAt.has_value());
    FUZZ_CHECK(request.size() == size);
    if (!answered) {
      FUZZ_CHECK(std::equal(request.begin(), request.end(), data));
      continue;
    }
    FUZZ_CHECK(*markerAt == layout_a::Marker || (kind == EchoKind::Udp && *markerAt == 0));
    FUZZ_CHECK(*markerAt + MarkerSize <= size);
    FUZZ_CHECK(hasMarker(request.data(), size, *markerAt, ReplyMarker));
    for (std::size_t i = 0; i < size; ++i) {
      if (i < *markerAt || i >= *markerAt + MarkerSize) FUZZ_CHECK(request[i] == data[i]);
    }
  }
  return 0;
}
