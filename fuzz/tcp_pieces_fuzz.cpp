// The TCP echo's cutting of a stream into requests, driven as its event loop drives it: pieces
// arrive with the peer having taken the answer or not, quiet spells pass, and the peer closes.
// Whatever the cut, every byte received goes back or is judged erroneous, once, and the lengths
// of the requests that ended add up to the bytes received.
// Input: steps, each a control byte (low bits: what happens) and, for a piece, its length and bytes.
#include <algorithm>
#include <chrono>

#include "fuzz/fuzz_check.h"
#include "server/request_rules.h"

using namespace connchk;
using namespace connchk::server;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  RequestStream stream;
  std::size_t fed = 0, sent = 0, ended = 0, erroneous = 0;
  const auto collect = [&] {
    sent += stream.toSend().size();
    stream.toSend().clear();
    for (const auto& e : stream.takeEnded()) {
      ended += e.length;
      if (e.erroneous) erroneous += e.length;
    }
  };
  for (std::size_t at = 0; at < size;) {
    const std::uint8_t control = data[at++];
    const bool tookAll = control & 0x80;
    if ((control & 3) == 0 && at < size) {
      const std::size_t length = std::min<std::size_t>(data[at], size - at - 1);
      const fuzz::Bytes piece = fuzz::received(data + at + 1, length);
      at += 1 + length;
      stream.take(piece.data(), piece.size(), tookAll);
      fed += piece.size();
    } else {
      stream.quiet(std::chrono::milliseconds((control >> 2) * 50), tookAll);
    }
    collect();
    FUZZ_CHECK(sent + erroneous <= fed);
  }
  stream.closed();
  collect();
  FUZZ_CHECK(!stream.open() && !stream.holding());
  FUZZ_CHECK(sent + erroneous == fed);
  FUZZ_CHECK(ended == fed);
  return 0;
}
