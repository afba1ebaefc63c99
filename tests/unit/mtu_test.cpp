// The bisection against a made-up path: a size limit, whether a hop says so, and which tries are
// lost. What it reports must be the path's limit, whatever the losses; and how a finding is judged.
#include "client/mtu.h"
#include "client/mtu_search.h"

#include "client/protocol_catalogue.h"

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
  // This host's own link refuses with a word too, but is no hop: what it named is kept apart.
  const MtuSearchResult local = searchLargestRequest({}, Overhead, [](std::uint32_t size) {
    return size <= 1472 ? MtuTry::answered() : MtuTry::tooBig(1500, "");
  });
  EXPECT_EQ(local.largest, 1472u);
  EXPECT_EQ(local.localMtu, 1500);
  EXPECT_EQ(local.reportedMtu, 0);
  EXPECT_FALSE(local.refusedInSilence);
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

// What a search found, judged: the verdict, the packet size, and who is said to have named the MTU.
TEST(MtuVerdict, JudgesEveryKindOfFinding) {
  struct Found {
    std::optional<std::uint32_t> largest, refused;
    bool silent = false;
    int reported = 0, local = 0;
    bool stopped = false;
  };
  struct Figures {
    std::uint32_t overhead = Overhead;
    std::optional<std::uint32_t> carried;  // TCP
    std::uint32_t options = 0;
    std::optional<int> kernel;
  };
  struct Row {
    const char* name;
    Found found;
    Figures figures;
    MtuVerdict verdict;
    std::optional<std::uint32_t> largest;
    std::optional<int> pathMtu, reportedMtu;
    std::string reportedBy;
  };
  const std::string server = "192.0.2.1";
  const Row rows[] = {
      {"no limit", {1472, {}}, {}, MtuVerdict::NoLimit, 1472, 1500, {}, ""},
      {"a hop says", {1372, 1373, false, 1400}, {}, MtuVerdict::Honest, 1372, 1400, 1400, Router},
      {"silence", {1372, 1373, true, 0, 1500}, {}, MtuVerdict::BlackHole, 1372, 1400, {}, ""},
      {"this host's link bounds it", {1472, 1473, false, 0, 1500}, {}, MtuVerdict::Honest, 1472, 1500, 1500, "local"},
      {"no answer at all", {{}, {}}, {}, MtuVerdict::NoAnswer, {}, {}, {}, ""},
      {"stopped before any answer", {{}, {}, false, 0, 0, true}, {}, MtuVerdict::NotRun, {}, {}, {}, ""},
      {"stopped midway: no verdict", {1000, 1200, true, 0, 0, true}, {}, MtuVerdict::NotRun, 1000, 1028, {}, ""},
      {"tcp cut down by its discovery", {1460, {}}, {52, 1348, 12, 1400}, MtuVerdict::Honest, 1348, 1400, 1400, ""},
      {"tcp cut down by the server's mss", {1460, {}}, {52, 1348, 12, 1500}, MtuVerdict::Honest, 1348, 1400, 1400,
       server},
      {"tcp in a black hole", {1360, 1361, true}, {52, 1348, 12, 1500}, MtuVerdict::BlackHole, 1348, 1400, {}, ""},
  };
  for (const Row& r : rows) {
    MtuSearchResult found;
    found.largest = r.found.largest;
    found.smallestRefused = r.found.refused;
    found.refusedInSilence = r.found.silent;
    found.reportedMtu = r.found.reported;
    found.reportedBy = r.found.reported ? Router : "";
    found.localMtu = r.found.local;
    found.stopped = r.found.stopped;
    MtuFigures figures{r.figures.overhead, r.figures.carried, r.figures.options, r.figures.carried ? server : "",
                       r.figures.kernel};
    const MtuRow row = judgeMtu(UdpEchoIndex, found, figures);
    EXPECT_EQ(row.verdict, r.verdict) << r.name;
    EXPECT_EQ(row.largest, r.largest) << r.name;
    EXPECT_EQ(row.pathMtu, r.pathMtu) << r.name;
    EXPECT_EQ(row.reportedMtu, r.reportedMtu) << r.name;
    EXPECT_EQ(row.reportedBy, r.reportedBy) << r.name;
    EXPECT_EQ(mtuCellText(row), !r.pathMtu ? "-" : std::to_string(*r.pathMtu) + (r.verdict == MtuVerdict::BlackHole ? " ЧД" : ""))
        << r.name;
  }
}

TEST(MtuVerdict, ABlackHoleOrATypeWithoutAnswerIsAFaultOfThePath) {
  MtuResult result;
  EXPECT_EQ(result.exitStatus(), 2) << "not started";
  result.started = true;
  const auto with = [](MtuVerdict verdict) {
    MtuRow row;
    row.verdict = verdict;
    return row;
  };
  result.rows = {with(MtuVerdict::NotRun)};
  EXPECT_EQ(result.exitStatus(), 2) << "nothing measured";
  result.rows.push_back(with(MtuVerdict::Honest));
  result.rows.push_back(with(MtuVerdict::NoLimit));
  EXPECT_EQ(result.exitStatus(), 0);
  for (const MtuVerdict fault : {MtuVerdict::BlackHole, MtuVerdict::NoAnswer}) {
    result.rows.push_back(with(fault));
    EXPECT_EQ(result.exitStatus(), 1) << mtuVerdictName(fault);
    result.rows.pop_back();
  }
}

}  // namespace
}  // namespace connchk::client
