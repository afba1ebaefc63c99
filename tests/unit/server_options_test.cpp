#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/log_bounds.h"
#include "server/server_options.h"

namespace connchk::server {
namespace {

using std::chrono::milliseconds;
constexpr std::uint64_t MB = 1ull << 20;

TEST(ServerOptions, EveryOptionAndItsRefusal) {
  const auto parse = [](std::vector<std::string> args) { return parseServerOptions(args); };
  const auto defaults = parse({});
  ASSERT_TRUE(defaults.options);
  EXPECT_FALSE(defaults.options->console);
  EXPECT_EQ(defaults.options->settings.log.ratePerSecond, 100u);
  EXPECT_EQ(defaults.options->settings.log.keepFree.marginFor(100 * 1024 * MB), 5 * 1024 * MB) << "5 % of 100 GB";
  EXPECT_EQ(defaults.options->settings.log.keepFree.marginFor(4 * 1024 * MB), 1024 * MB) << "at least 1 GB";
  EXPECT_EQ(defaults.options->settings.terminals.first, 1u);
  EXPECT_EQ(defaults.options->settings.terminals.last, 999u);

  const auto all = parse({"--console", "--log-dir=/var/log/x", "--metrics", "127.0.0.1:9100", "--log-rate", "0",
                          "--log-keep-free", "10%", "--terminals", "5-20", "--log-dir", "/srv"});
  ASSERT_TRUE(all.options) << all.error;
  EXPECT_TRUE(all.options->console);
  EXPECT_EQ(all.options->logDirectory, "/srv") << "the later value wins, as it always did";
  EXPECT_EQ(all.options->metricsAt, "127.0.0.1:9100");
  EXPECT_EQ(all.options->settings.log.ratePerSecond, 0u);
  EXPECT_EQ(all.options->settings.log.keepFree.marginFor(1000 * MB), 100 * MB);
  EXPECT_TRUE(all.options->settings.terminals.contains(20));
  EXPECT_FALSE(all.options->settings.terminals.contains(21));
  EXPECT_TRUE(parse({"--help", "--console"}).options->help);
  EXPECT_TRUE(parse({"--version"}).options->version);

  const struct {
    std::vector<std::string> args;
    std::string error;
  } refused[] = {
      {{"--bogus"}, "unknown option --bogus (see --help)"},
      {{"extra"}, "unknown option extra (see --help)"},
      {{"--log-dir"}, "--log-dir needs a folder"},
      {{"--log-dir="}, "--log-dir needs a folder"},
      {{"--metrics"}, "--metrics needs [ADDRESS:]PORT"},
      {{"--log-rate", "-1"}, "--log-rate must be a whole number of requests a second from 0 (no bound) to 1000000"},
      {{"--log-rate", "1e3"}, "--log-rate must be a whole number of requests a second from 0 (no bound) to 1000000"},
      {{"--log-keep-free", "1X"}, "--log-keep-free must be 0, a size such as 500M or 2G, or a share of the disk such as 5%"},
      {{"--log-keep-free", "101%"}, "--log-keep-free must be 0, a size such as 500M or 2G, or a share of the disk such as 5%"},
      {{"--terminals", "0-9"}, "--terminals must be FROM-TO, terminal numbers from 1 to 64680"},
      {{"--terminals", "9-8"}, "--terminals must be FROM-TO, terminal numbers from 1 to 64680"},
      {{"--terminals", "1-64681"}, "--terminals must be FROM-TO, terminal numbers from 1 to 64680"},
      {{"--terminals", "7"}, "--terminals must be FROM-TO, terminal numbers from 1 to 64680"},
  };
  for (const auto& r : refused) {
    const auto got = parse(r.args);
    EXPECT_FALSE(got.options) << r.args[0];
    EXPECT_EQ(got.error, r.error) << r.args[0];
  }
}

TEST(KeepFree, SizesUnitsAndShares) {
  const struct {
    const char* text;
    std::uint64_t marginOf1000MB;  // the margin on a disk of 1000 MB
  } cases[] = {{"0", 0}, {"4096", 4096}, {"1K", 1024}, {"500M", 500 * MB}, {"2G", 2048 * MB}, {"1T", 1ull << 40}, {"10%", 100 * MB}, {"0%", 0}};
  for (const auto& c : cases) {
    const auto keep = parseKeepFree(c.text);
    ASSERT_TRUE(keep) << c.text;
    EXPECT_EQ(keep->marginFor(1000 * MB), c.marginOf1000MB) << c.text;
  }
  EXPECT_FALSE(parseKeepFree("0")->bounded());
  for (const char* bad : {"", "G", "-1", "1.5G", "1GB", "99999999999999999999T", "5 %"}) EXPECT_FALSE(parseKeepFree(bad)) << bad;
}

// A service's lines: the first `rate` requests of each second in full, the rest left out and
// tallied by outcome; none while the disk is low; no bound at rate 0.
TEST(RequestLineGate, AdmitsTheRateOfEachSecondAndTalliesTheRest) {
  RequestLineGate gate;
  gate.setRate(3);
  const auto start = RequestLineGate::Clock::now();
  int admitted = 0;
  for (int i = 0; i < 10; ++i) admitted += gate.admit(start + milliseconds(i), false);
  EXPECT_EQ(admitted, 3);
  EXPECT_TRUE(gate.admit(start + milliseconds(1000), false)) << "a new second";
  EXPECT_FALSE(gate.admit(start + milliseconds(1001), true)) << "the disk is low";

  gate.leftOut(RequestOutcome::Answered);
  gate.leftOut(RequestOutcome::Answered);
  gate.leftOut(RequestOutcome::Erroneous);
  gate.leftOut(RequestOutcome::Unanswered);
  const LeftOut left = gate.take();
  EXPECT_EQ(left.answered, 2u);
  EXPECT_EQ(left.erroneous, 1u);
  EXPECT_EQ(left.unanswered, 1u);
  EXPECT_FALSE(gate.take().any()) << "taken once";

  RequestLineGate unbounded;
  for (int i = 0; i < 1000; ++i) ASSERT_TRUE(unbounded.admit(start, false));
}

}  // namespace
}  // namespace connchk::server
