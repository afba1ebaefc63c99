#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "client/console_options.h"
#include "client/protocol_catalogue.h"
#include "client/run_parameters.h"
#include "client/tests.h"

namespace connchk::client {
namespace {

TEST(CountText, IsReadByTheWindowsRule) {
  EXPECT_EQ(parseCountText("Бесконечно"), -1);
  EXPECT_EQ(parseCountText("-1"), -1);
  EXPECT_EQ(parseCountText("3"), 3);
  EXPECT_EQ(parseCountText("  12abc"), 12);
  EXPECT_EQ(parseCountText("+5"), 5);
  EXPECT_EQ(parseCountText("-5"), -5);
  EXPECT_EQ(parseCountText("abc"), 0);
  EXPECT_EQ(parseCountText(""), 0);
  EXPECT_EQ(parseCountText("99999999999"), 2147483647);
  EXPECT_EQ(parseCountText("-99999999999"), -2147483647 - 1);
}

TEST(CountText, TheTerminalTakesOnlyAWholeCountOrWithoutEnd) {
  const std::vector<std::pair<std::string, std::int32_t>> taken = {
      {"1", 1}, {"3", 3}, {"2147483647", 2147483647}, {"-1", -1}, {"Бесконечно", -1},
      {"БЕСКОНЕЧНО", -1}, {"бесконечно", -1}, {"бЕсКоНеЧнО", -1}};
  for (const auto& [text, count] : taken) EXPECT_EQ(parseCountOption(text), count) << text;
  for (const char* text : {"0", "-5", "-0", "+3", " 3", "3 ", "3x", "-1abc", "1.5", "abc", "", "2147483648",
                           "99999999999", "Бесконечно ", "Бесконечность", "Бесконечн", "бесконечноо"}) {
    EXPECT_FALSE(parseCountOption(text)) << text;
  }
}

TEST(AddressText, IsCountedInCharacters) {
  std::string cyrillic;
  for (int i = 0; i < 200; ++i) cyrillic += "ж";
  EXPECT_EQ(characterCount(cyrillic), 200u);
  EXPECT_EQ(characterCount("сервер-1.example"), 16u);
  EXPECT_EQ(characterCount(""), 0u);
  const auto parsed = parseClientOptions({"--console", cyrillic});
  ASSERT_TRUE(parsed.options) << parsed.error;
  EXPECT_EQ(parsed.options->request.address, cyrillic);
  EXPECT_FALSE(parseClientOptions({std::string(256, 'a')}).options);
}

TEST(SizeAndTerminal, AcceptOnlyDigitsWithinTheirRanges) {
  EXPECT_EQ(parseSize("12"), 12u);
  EXPECT_EQ(parseSize("1500"), 1500u);
  EXPECT_FALSE(parseSize("11"));
  EXPECT_FALSE(parseSize("1501"));
  EXPECT_FALSE(parseSize("32x"));
  EXPECT_FALSE(parseSize(""));
  EXPECT_FALSE(parseSize("-32"));
  EXPECT_EQ(parseTerminal("1"), 1u);
  EXPECT_EQ(parseTerminal("999"), 999u);
  EXPECT_FALSE(parseTerminal("0"));
  EXPECT_FALSE(parseTerminal("1000"));
}

TEST(ProtocolCatalogue, HasFifteenTypesAndChoosesTheirTests) {
  const auto catalogue = ProtocolCatalogue();
  ASSERT_EQ(catalogue.size(), 15u);
  EXPECT_STREQ(catalogue[0].text, "ICMP");
  EXPECT_STREQ(catalogue[1].text, "IP-Клиент");
  EXPECT_EQ(catalogue[11].number, 56u);
  EXPECT_EQ(catalogue[12].number, 55u);
  EXPECT_EQ(catalogue[14].number, 6u);
  EXPECT_EQ(findProtocolType("TCP (порт 87)"), 14);
  EXPECT_EQ(findProtocolType("13"), 13);
  EXPECT_FALSE(findProtocolType("15"));
  EXPECT_EQ(findProtocolType("tcp"), 14);
  EXPECT_EQ(chooseTest(17, UdpEchoIndex), TestKind::EchoUdp);
  EXPECT_EQ(chooseTest(17, TerminalUdpIndex), TestKind::TerminalUdp);
  EXPECT_EQ(chooseTest(1, 0), TestKind::IcmpEcho);
  EXPECT_EQ(chooseTest(6, 14), TestKind::EchoTcp);
  for (const int index : {2, 3, 10, 11, 12}) {
    EXPECT_EQ(chooseTest(static_cast<std::uint8_t>(catalogue[index].number), index), TestKind::RawIp) << index;
  }
}

TEST(ClientOptions, TakeTheWindowsInitialValuesWhereNotGiven) {
  const auto parsed = parseClientOptions({"--console"});
  ASSERT_TRUE(parsed.options) << parsed.error;
  const RunRequest& r = parsed.options->request;
  EXPECT_EQ(r.address, "127.0.0.1");
  EXPECT_EQ(r.size, 32u);
  EXPECT_EQ(r.count, 1);
  EXPECT_EQ(r.protocolIndex, 1);
  EXPECT_EQ(r.protocolNumber, 17u);
  EXPECT_EQ(r.terminal, 1u);
}

TEST(ClientOptions, ReadEveryValue) {
  const auto parsed = parseClientOptions(
      {"--console", "--size", "64", "--count=Бесконечно", "--protocol", "TELM-UDP", "--terminal", "7", "host.example"});
  ASSERT_TRUE(parsed.options) << parsed.error;
  const RunRequest& r = parsed.options->request;
  EXPECT_EQ(r.size, 64u);
  EXPECT_EQ(r.count, -1);
  EXPECT_EQ(r.protocolIndex, 13);
  EXPECT_EQ(r.protocolNumber, 17u);
  EXPECT_EQ(r.terminal, 7u);
  EXPECT_EQ(r.address, "host.example");
}

TEST(ClientOptions, RefuseBadValuesNamingTheOptionAndItsRange) {
  EXPECT_NE(parseClientOptions({"--size", "11"}).error.find("--size must be a whole number from 12 to 1500"),
            std::string::npos);
  EXPECT_NE(parseClientOptions({"--terminal", "0"}).error.find("--terminal must be a whole number from 1 to 999"),
            std::string::npos);
  EXPECT_NE(parseClientOptions({"--protocol", "99"}).error.find("--protocol"), std::string::npos);
  EXPECT_NE(parseClientOptions({"--size"}).error.find("--size needs a value"), std::string::npos);
  EXPECT_NE(parseClientOptions({"--bogus"}).error.find("unknown option --bogus"), std::string::npos);
  EXPECT_NE(parseClientOptions({"a", "b"}).error.find("only one"), std::string::npos);
  EXPECT_NE(parseClientOptions({std::string(256, 'a')}).error.find("at most 255"), std::string::npos);
  EXPECT_TRUE(parseClientOptions({std::string(255, 'a')}).options);
}

TEST(ProtocolCatalogue, TypesAreFoundByEveryNameAnOperatorMayType) {
  const std::vector<std::pair<std::string, int>> found = {
      {"IP-Клиент", 1},  {"udp", 1},       {"UDP", 1},         {"1", 1},          {"icmp", 0},
      {"ICMP", 0},       {"0", 0},         {"Tcp", 14},        {"14", 14},        {"tcp (порт 87)", 14},
      {"telm-udp", 13},  {"TELM-UDP", 13}, {"terminal", 13},   {"Terminal", 13},  {"raw53", 2},
      {"53", 2},         {"RAW110", 3},    {"110", 3},         {"117", 10},       {"56", 11},
      {"55", 12},        {"6", 6},         {"ВЕЛТ-IP Поток 8", 10}};
  for (const auto& [name, index] : found) EXPECT_EQ(findProtocolType(name), index) << name;
  const std::vector<std::pair<std::string, std::string>> refused = {
      {"17", "both udp"}, {"15", "unknown"}, {"99", "unknown"}, {"", "unknown"}, {"raw", "unknown"},
      {"1000", "unknown"}, {"-1", "unknown"}, {"tcp ", "unknown"}};
  for (const auto& [name, why] : refused) {
    const ProtocolLookup lookup = lookUpProtocolType(name);
    EXPECT_FALSE(lookup.index) << name;
    EXPECT_NE(lookup.error.find(why), std::string::npos) << name << ": " << lookup.error;
  }
  for (std::size_t i = 0; i < ProtocolCatalogue().size(); ++i) {
    EXPECT_EQ(findProtocolType(ProtocolCatalogue()[i].shortName), static_cast<int>(i)) << "short names are unique";
  }
}

TEST(ClientOptions, ShortFormsSecondsAndModes) {
  struct Case {
    std::vector<std::string> args;
    std::function<void(const ClientOptions&)> check;
  };
  const std::vector<Case> cases = {
      {{"-c", "5", "-s", "64", "-p", "TCP", "-t", "9", "-i", "0.2", "-W", "1.5", "10.0.0.1"},
       [](const ClientOptions& o) {
         EXPECT_EQ(o.request.count, 5);
         EXPECT_EQ(o.request.size, 64u);
         EXPECT_EQ(o.request.protocolIndex, 14);
         EXPECT_EQ(o.request.protocolNumber, 6u);
         EXPECT_EQ(o.request.terminal, 9u);
         EXPECT_EQ(o.request.intervalMs, 200);
         EXPECT_EQ(o.request.timeoutMs, 1500);
         EXPECT_EQ(o.request.address, "10.0.0.1");
         EXPECT_FALSE(o.terminalMode()) << "plain options leave the window its place";
       }},
      {{"--interval=3600", "--timeout", "0.1", "-qc", "-1"},
       [](const ClientOptions& o) {
         EXPECT_EQ(o.request.intervalMs, 3600000);
         EXPECT_EQ(o.request.timeoutMs, 100);
         EXPECT_EQ(o.request.count, -1);
         EXPECT_TRUE(o.quiet);
         EXPECT_TRUE(o.terminalMode());
       }},
      {{"--max-loss", "12.5"}, [](const ClientOptions& o) { EXPECT_EQ(o.request.maxLossPercent, 12.5); }},
      {{"--paced", "-p", "icmp"}, [](const ClientOptions& o) { EXPECT_TRUE(o.request.paced); }},
      {{"--paced", "-p", "raw53"}, [](const ClientOptions& o) { EXPECT_TRUE(o.request.paced); }},
      {{}, [](const ClientOptions& o) {
         EXPECT_FALSE(o.request.paced) << "one request at a time unless asked";
         EXPECT_EQ(o.request.intervalMs, 1000);
         EXPECT_EQ(o.request.timeoutMs, 5000);
         EXPECT_EQ(o.request.maxLossPercent, 100.0) << "no run fails for loss unless asked";
         EXPECT_FALSE(o.quiet || o.json || o.sweep);
       }},
      {{"--sweep", "--json", "host"}, [](const ClientOptions& o) {
         EXPECT_TRUE(o.sweep && o.json && o.terminalMode());
         EXPECT_EQ(o.request.count, 3) << "a sweep runs three rounds of each type unless told";
         EXPECT_TRUE(o.sweepTypes.empty());
       }},
      {{"--sweep", "-p", "udp", "-p", "53", "-p", "icmp", "host", "-c", "1"}, [](const ClientOptions& o) {
         EXPECT_EQ(o.sweepTypes, (std::vector<int>{1, 2, 0}));
         EXPECT_EQ(o.request.count, 1);
         EXPECT_EQ(o.request.address, "host") << "each -p takes one type";
       }},
      {{"--trace", "-p", "raw53", "-p", "tcp", "--max-hops", "255", "--probes", "10", "-W", "1", "host"},
       [](const ClientOptions& o) {
         EXPECT_TRUE(o.trace && o.terminalMode());
         EXPECT_EQ(o.sweepTypes, (std::vector<int>{2, 14}));
         EXPECT_EQ(o.maxHops, 255);
         EXPECT_EQ(o.probes, 10);
         EXPECT_EQ(o.request.timeoutMs, 1000);
       }},
      {{"--trace", "host"}, [](const ClientOptions& o) {
         EXPECT_EQ(o.maxHops, 30);
         EXPECT_EQ(o.probes, 2);
         EXPECT_TRUE(o.sweepTypes.empty()) << "every type";
       }},
      {{"--mtu", "-p", "udp", "-p", "tcp", "-s", "9000", "-W", "0.5", "host"}, [](const ClientOptions& o) {
         EXPECT_TRUE(o.mtu && o.terminalMode());
         EXPECT_EQ(o.sweepTypes, (std::vector<int>{1, 14}));
         EXPECT_EQ(o.mtuLargestSize, 9000u) << "-s is the top of the search, beyond 1500 for jumbo links";
         EXPECT_EQ(o.request.size, 32u);
         EXPECT_EQ(o.mtuTimeoutMs, 500);
       }},
      {{"--mtu", "host"}, [](const ClientOptions& o) {
         EXPECT_EQ(o.mtuLargestSize, 1500u);
         EXPECT_EQ(o.mtuTimeoutMs, 1000) << "a try waits a second, not a run's five";
       }},
      {{"--log-dir", "logs", "-V"}, [](const ClientOptions& o) { EXPECT_TRUE(o.version); }},
      {{"--log-dir", "some/dir"}, [](const ClientOptions& o) { EXPECT_EQ(o.logDirectory, "some/dir"); }},
      {{"-s", "11", "--help"}, [](const ClientOptions& o) { EXPECT_TRUE(o.help) << "help wins over a bad value"; }},
  };
  for (const Case& c : cases) {
    const auto parsed = parseClientOptions(c.args);
    ASSERT_TRUE(parsed.options) << ::testing::PrintToString(c.args) << ": " << parsed.error;
    c.check(*parsed.options);
  }
}

TEST(ClientOptions, EveryRefusalNamesItsOption) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
      {{"-i", "0.19"}, "-i/--interval must be a number of seconds from 0.2"},
      {{"-i", "nan"}, "-i/--interval"},
      {{"-i", "1e3"}, "-i/--interval"},
      {{"-i", "-1"}, "-i/--interval"},
      {{"-i", "3600.001"}, "-i/--interval"},
      {{"-W", "0"}, "-W/--timeout must be a number of seconds from 0.1"},
      {{"-W", "5s"}, "-W/--timeout"},
      {{"-W"}, "--timeout needs a value"},
      {{"-p", "17"}, "-p/--protocol: 17 is the number of both"},
      {{"-p", "udp", "-p", "tcp"}, "only with --sweep"},
      {{"--sweep", "-c", "0"}, "-c/--count must be a whole number from 1 up"},
      {{"--sweep", "-c", "Бесконечно"}, "-c/--count must be a whole number from 1 up with --sweep"},
      {{"-s", "1", "-s", "2"}, "--size may be given only once"},
      {{"-x"}, "unknown option -x"},
      {{"--log-dir", ""}, "--log-dir needs a directory"},
      {{"--log-dir"}, "--log-dir needs a value"},
      {{"--max-loss", "100.1"}, "--max-loss must be a number of percent from 0 to 100"},
      {{"--max-loss", "-1"}, "--max-loss"},
      {{"--max-loss", "5%"}, "--max-loss"},
      {{"--trace", "--max-hops", "0"}, "--max-hops must be a whole number from 1 to 255"},
      {{"--trace", "--max-hops", "256"}, "--max-hops must be a whole number from 1 to 255"},
      {{"--trace", "--probes", "11"}, "--probes must be a whole number from 1 to 10"},
      {{"--max-hops", "3"}, "options of --trace"},
      {{"--trace", "-c", "3"}, "no meaning for --trace"},
      {{"-s", "1501"}, "-s/--size must be a whole number from 12 to 1500"},
      {{"--mtu", "-s", "65001"}, "-s/--size must be a whole number from 12 to 65000 with --mtu"},
      {{"--mtu", "-c", "3"}, "no meaning for --mtu"},
      {{"--mtu", "--trace"}, "only with --sweep"},
      {{"--mtu", "--ttl", "3"}, "--ttl has no meaning for --mtu"},
      {{"--paced", "-p", "tcp"}, "--paced is for udp, raw and icmp: tcp"},
      {{"--paced", "-p", "telm-udp"}, "--paced is for udp, raw and icmp: telm-udp"},
      {{"--paced", "--sweep"}, "--paced is for a single run"},
  };
  for (const auto& [args, why] : refused) {
    const auto parsed = parseClientOptions(args);
    EXPECT_FALSE(parsed.options) << ::testing::PrintToString(args);
    EXPECT_NE(parsed.error.find(why), std::string::npos) << ::testing::PrintToString(args) << ": " << parsed.error;
  }
}

TEST(ClientOptions, HelpTellsEveryOptionAndType) {
  const std::string help = clientUsage();
  for (const char* wanted : {"-c,--count", "-s,--size", "-p,--protocol", "-t,--terminal", "-i,--interval SECONDS",
                             "-W,--timeout SECONDS", "-q,--quiet", "-V,--version", "--json", "--sweep", "--trace", "--mtu", "--max-hops N", "--probes K", "--list-protocols",
                             "--console", "--log-dir DIR", "--max-loss PERCENT", "--paced", "-h,--help", "telm-udp", "raw117", "TCP (порт 87)",
                             "17 is both", "Exit status"}) {
    EXPECT_NE(help.find(wanted), std::string::npos) << wanted;
  }
}

}  // namespace
}  // namespace connchk::client

namespace connchk::client {
namespace {

TEST(IcmpRequestCounter, StartsAtZeroAndWrapsAfter65535) {
  IcmpRequestCounter fresh;
  EXPECT_EQ(fresh.take(), 0);
  EXPECT_EQ(fresh.current(), 1);
  IcmpRequestCounter nearEnd(65535);
  EXPECT_EQ(nearEnd.take(), 65535);
  EXPECT_EQ(nearEnd.current(), 0) << "the line after the request with identifier 65535 shows 0";
  EXPECT_EQ(nearEnd.take(), 0);
}

}  // namespace
}  // namespace connchk::client

TEST(RunSummary, FiguresFromTheAnsweredRoundsOnly) {
  using connchk::client::RoundRecord;
  using connchk::client::RoundResult;
  connchk::client::RunOutcome outcome;
  outcome.requestsSent = 4;
  outcome.answersAccepted = 3;
  outcome.rounds = {RoundRecord{1, 0, RoundResult::Answered, 0, 1000},
                    RoundRecord{2, 0, RoundResult::TimedOut, 0, -1},
                    RoundRecord{3, 0, RoundResult::Answered, 0, 3000},
                    RoundRecord{4, 0, RoundResult::Answered, 0, 2000}};
  const auto summary = connchk::client::summarize(outcome);
  EXPECT_EQ(summary.sent, 4);
  EXPECT_EQ(summary.answered, 3);
  EXPECT_DOUBLE_EQ(summary.lossPercent, 25.0);
  EXPECT_EQ(summary.minUs, 1000);
  EXPECT_EQ(summary.avgUs, 2000);
  EXPECT_EQ(summary.maxUs, 3000);
  EXPECT_EQ(summary.mdevUs, 816);  // population deviation of 1, 2, 3 ms
  EXPECT_EQ(summary.medianUs, 2000);

  const auto none = connchk::client::summarize(connchk::client::RunOutcome{});
  EXPECT_EQ(none.sent, 0);
  EXPECT_DOUBLE_EQ(none.lossPercent, 0.0);
  EXPECT_EQ(none.maxUs, 0);
}
