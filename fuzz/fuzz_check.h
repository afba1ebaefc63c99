// What the fuzz targets share: a check that stops the run with its reason (libFuzzer keeps the
// input that made it fail), and the received bytes as a buffer of exactly their size, so that the
// address sanitizer sees every read past the end of what was received.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#define FUZZ_CHECK(condition)                                               \
  do {                                                                      \
    if (!(condition)) {                                                     \
      std::fprintf(stderr, "%s:%d: %s does not hold\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                         \
    }                                                                       \
  } while (0)

namespace connchk::fuzz {

using Bytes = std::vector<std::uint8_t>;

inline Bytes received(const std::uint8_t* data, std::size_t size) { return Bytes(data, data + size); }

}  // namespace connchk::fuzz
