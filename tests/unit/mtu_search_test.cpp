// The bisection against a made-up path: a size limit, whether a hop says so, and which tries are
// lost. What it reports must be the path's limit, whatever the losses.
#include "client/mtu_search.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string>

namespace connchk::client {
namespace {

constexpr std::uint32_t Overhead = 28;  // IPv4 and UDP headers
const std::string Router = "192.0.2.254";

struct FakePath {
  std::uint32_t limit = 0;   // the largest request that passes; 0: every size passes
  bool honest = true;        // a larger one draws "fragmentation needed" with the MTU
  int lossOneIn = 0;         // each try lost with this odds (1 in N); 0: none lost
  std::uint32_t seed = 1;

  MtuSearchResult search(MtuSearchLimits limits = {}) {
    std::mt19937 random(seed);
    return searchLargestRequest(limits, Overhead, [&](std::uint32_t size) {
      if (lossOneIn > 0 && random() % static_cast<std::uint32_t>(lossOneIn) == 0) return MtuTry::lost();
      if (limit == 0 || size <= limit) return MtuTry::answered();
      if (!honest) return MtuTry::lost();
      return MtuTry::tooBig(static_cast<int>(limit + Overhead), Router);
    });
  }
};

struct Case {
  const char* name;
  FakePath path;
  std::optional<std::uint32_t> largest;
  bool blackHole;
  int reportedMtu;
};

TEST(MtuSearch, FindsTheLimitOfEveryKindOfPath) {
  const Case cases[] = {
      {"no limit", {0, true}, 1500, false, 0},
      {"honest 1400", {1372, true}, 1372, false, 1400},
      {"black hole 1400", {1372, false}, 1372, true, 0},
      {"honest, tiny", {100, true}, 100, false, 128},
      {"black hole just under the top", {1499, false}, 1499, true, 0},
      {"nothing passes", {11, false}, std::nullopt, false, 0},
  };
  for (const Case& c : cases) {
    FakePath path = c.path;
    const MtuSearchResult found = path.search();
    EXPECT_EQ(found.largest, c.largest) << c.name;
    EXPECT_EQ(found.refusedInSilence, c.blackHole) << c.name;
    EXPECT_EQ(found.reportedMtu, c.reportedMtu) << c.name;
    EXPECT_EQ(found.reportedBy, c.reportedMtu ? Router : "") << c.name;
    if (c.largest && *c.largest < 1500) {
      EXPECT_EQ(found.smallestRefused, *c.largest + 1) << c.name;
    }
    EXPECT_LT(found.triesMade, 120) << c.name;
  }
}

TEST(MtuSearch, AnHonestHopsWordEndsTheSearchInAFewTries) {
  FakePath path{1372, true};
  EXPECT_LE(path.search().triesMade, 4) << "the top, the bottom, the size the hop named, one above";
}

TEST(MtuSearch, OneLostPacketInFiveNeverMakesTheLimitSmaller) {
  // Many seeds, so that runs of losses land on sizes below the limit; both kinds of path.
  for (std::uint32_t seed = 1; seed <= 200; ++seed) {
    for (const bool honest : {true, false}) {
      FakePath path{1372, honest, 5, seed};
      const MtuSearchResult found = path.search();
      ASSERT_EQ(found.largest, 1372u) << "seed " << seed << (honest ? " honest" : " black hole");
    }
    FakePath open{0, true, 5, seed};
    ASSERT_EQ(open.search().largest, 1500u) << "seed " << seed;
  }
}

TEST(MtuSearch, StopEndsTheSearchWithWhatWasFound) {
  int tries = 0;
  const MtuSearchResult found = searchLargestRequest({}, Overhead, [&](std::uint32_t size) {
    if (++tries > 3) return MtuTry::stopped();
    return size <= 1000 ? MtuTry::answered() : MtuTry::lost();
  });
  EXPECT_TRUE(found.stopped);
  EXPECT_EQ(tries, 4);
}

TEST(MtuSearch, StaysWithinItsBounds) {
  std::uint32_t low = UINT32_MAX, high = 0;
  const MtuSearchLimits limits{100, 9000, 3, 8};
  searchLargestRequest(limits, Overhead, [&](std::uint32_t size) {
    low = std::min(low, size);
    high = std::max(high, size);
    return size <= 4000 ? MtuTry::answered() : MtuTry::lost();
  });
  EXPECT_EQ(low, 100u);
  EXPECT_EQ(high, 9000u);
}

}  // namespace
}  // namespace connchk::client
