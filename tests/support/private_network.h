// Every test process runs in a network namespace of its own, made in main() before any thread
// starts, so that tests can bind the real ports (87, 855, raw sockets) without meeting each other
// or anything on the machine. Programs the tests start inherit it.
#pragma once

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/network_namespace.h"

namespace connchk::testing {

// Made in main(); false with a reason when the namespace could not be made.
bool privateNetworkReady();
const std::string& privateNetworkProblem();

}  // namespace connchk::testing

// Skips the test, saying why, where no private namespace could be made; fails it instead when
// CHECKER_REQUIRE_NETNS is set (CI must not skip).
#define REQUIRE_PRIVATE_NETWORK()                                                             \
  do {                                                                                        \
    if (!::connchk::testing::privateNetworkReady()) {                                        \
      if (std::getenv("CHECKER_REQUIRE_NETNS")) {                                             \
        FAIL() << "no private network namespace: " << ::connchk::testing::privateNetworkProblem(); \
      }                                                                                       \
      GTEST_SKIP() << "no private network namespace: " << ::connchk::testing::privateNetworkProblem(); \
    }                                                                                         \
  } while (0)
