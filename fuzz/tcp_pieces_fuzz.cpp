// The TCP echo's gathering of a request from pieces, driven as its event loop drives it: each
// piece is received into the space left (what does not fit stays for the next receive), a
// complete request is judged at once, and what is left when the peer pauses is judged then.
// Input: pieces, each a length byte and that many bytes.
#include <algorithm>
#include <cstring>

#include "fuzz/fuzz_check.h"
#include "server/request_rules.h"

using namespace connchk;
using namespace connchk::server;

namespace {

std::size_t judged = 0;

void judge(PieceGatherer& request, bool paused) {
  FUZZ_CHECK(!request.empty());
  FUZZ_CHECK(request.size() <= PieceGatherer::Capacity);
  FUZZ_CHECK(paused || request.complete());
  // Judged as the service judges it, in its buffer, and as the bytes received alone: the same.
  fuzz::Bytes alone = fuzz::received(request.data(), request.size());
  FUZZ_CHECK(makeEchoAnswer(EchoKind::Tcp, request.data(), request.size()) ==
             makeEchoAnswer(EchoKind::Tcp, alone.data(), alone.size()));
  judged += request.size();
  request.clear();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  PieceGatherer request;
  judged = 0;
  std::size_t fed = 0;
  for (std::size_t at = 0; at < size;) {
    const std::size_t length = std::min<std::size_t>(data[at], size - at - 1);
    const fuzz::Bytes piece = fuzz::received(data + at + 1, length);
    at += 1 + length;
    for (std::size_t taken = 0; taken < piece.size();) {
      const auto space = request.space();
      FUZZ_CHECK(!space.empty());
      const std::size_t n = std::min(space.size(), piece.size() - taken);
      std::memcpy(space.data(), piece.data() + taken, n);
      request.received(n);
      taken += n;
      fed += n;
      if (request.complete()) judge(request, false);
    }
  }
  if (!request.empty()) judge(request, true);
  FUZZ_CHECK(judged == fed);
  return 0;
}
