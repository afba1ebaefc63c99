// The client's judgement of what it receives: the first 64 bytes of an input stand for the request
// it sent, the rest for what came back. An answer is accepted only when it carries that request's
// send time and the reply marker at their places, wholly inside what was received.
#include <cstring>

#include "client/answer_identity.h"
#include "common/protocol.h"
#include "fuzz/fuzz_check.h"

using namespace connchk;
using namespace connchk::client;

namespace {
constexpr std::size_t RequestBytes = 64;
constexpr std::size_t HeadBytes = 8 + MarkerSize;  // send time and marker
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < RequestBytes) return 0;
  const fuzz::Bytes request(data, data + RequestBytes);
  const fuzz::Bytes received = fuzz::received(data + RequestBytes, size - RequestBytes);
  const std::size_t length = received.size();

  if (isEchoAnswer(request.data(), received.data(), length)) {
    FUZZ_CHECK(length >= HeadBytes);
    FUZZ_CHECK(std::memcmp(received.data(), request.data(), 8) == 0);
    FUZZ_CHECK(hasMarker(received.data(), length, 8, ReplyMarker));
  }
  if (const auto at = findEchoAnswer(request.data(), received.data(), length)) {
    FUZZ_CHECK(*at + HeadBytes <= length);
    FUZZ_CHECK(isEchoAnswer(request.data(), received.data() + *at, length - *at));
  }
  if (isTerminalAnswer(request.data(), received.data(), length)) {
    FUZZ_CHECK(std::memcmp(received.data(), request.data(), 8) == 0);
    FUZZ_CHECK(hasMarker(received.data(), length, 12, ReplyMarker));
  }
  if (isRawAnswer(request.data(), received.data(), length)) {
    FUZZ_CHECK(length >= 20 + HeadBytes);
    FUZZ_CHECK(std::memcmp(received.data() + 20, request.data(), 8) == 0);
  }
  if (isIcmpEchoReply(request.data(), received.data(), length)) FUZZ_CHECK(length >= 20 + 16 + MarkerSize);
  if (isEchoReplyMessage(request.data(), received.data(), length, 129, 0x1234)) {
    FUZZ_CHECK(length >= 16 + MarkerSize && received[0] == 129);
  }
  return 0;
}
