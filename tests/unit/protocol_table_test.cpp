// The one table of protocol types (common/protocol_types.h) against everything made from it or
// kept beside it by hand: the client's list and names, --list-protocols, the way each type runs,
// the server's services, start lines and metrics labels, the bash completion, the man page's
// table and the exporter's example targets.
#include <gtest/gtest.h>

#include <prometheus/text_serializer.h>

#include <regex>
#include <set>
#include <sstream>

#include "client/console_options.h"
#include "client/protocol_catalogue.h"
#include "client/run_parameters.h"
#include "common/text_format.h"
#include "server/messages.h"
#include "server/metrics.h"
#include "server/protocol_names.h"
#include "tests/support/http_get.h"
#include "tests/support/program.h"

namespace connchk {
namespace {

std::string sourceFile(const std::string& path) { return testing::readFile(std::string(CHECKER_SOURCE_DIR "/") + path); }

// The words of the completion's protocol list.
std::set<std::string> completedProtocols() {
  const std::string script = sourceFile("packaging/bash-completion/connchk");
  std::smatch list;
  EXPECT_TRUE(std::regex_search(script, list, std::regex("_connchk_protocols=\"([^\"]*)\"")));
  std::set<std::string> words;
  std::istringstream in(list[1].str());
  for (std::string word; in >> word;) words.insert(word);
  return words;
}

// The rows of the man page's PROTOCOL TYPES table, header row first.
std::vector<std::string> manPageRows() {
  const std::string page = sourceFile("packaging/man/connchk-client.1");
  const std::size_t section = page.find(".SH PROTOCOL TYPES");
  const std::size_t start = page.find(".TS\n", section);
  const std::size_t end = page.find(".TE\n", start);
  EXPECT_NE(section, std::string::npos);
  auto rows = testing::splitLines(page.substr(start, end - start));
  rows.erase(rows.begin(), rows.begin() + 2);  // .TS and the column format
  return rows;
}

// The protocol label of every sample of a server scrape.
std::set<std::string> serverMetricsLabels() {
  server::ServerCounters counters;
  server::SenderStatistics statistics;
  ActivityLog log = ActivityLog::atPath(LogStyle::Server, "/dev/null");
  std::ostringstream page;
  prometheus::TextSerializer().Serialize(page, server::collectServerMetrics({counters, statistics, log}));
  std::set<std::string> labels;
  const std::regex label("protocol=\"([^\"]*)\"");
  for (const auto& [series, value] : testing::samplesOf(page.str())) {
    std::smatch found;
    if (std::regex_search(series, found, label)) labels.insert(found[1]);
  }
  return labels;
}

TEST(ProtocolTable, AgreesWithEverythingMadeFromIt) {
  const std::string listing = client::protocolListing();
  const std::set<std::string> completed = completedProtocols();
  const std::vector<std::string> manRows = manPageRows();
  const std::set<std::string> metricsLabels = serverMetricsLabels();
  ASSERT_EQ(manRows.size(), ProtocolTypes.size() + 1);
  EXPECT_EQ(testing::splitLines(listing).size(), ProtocolTypes.size() + 1);
  EXPECT_EQ(completed.size(), ProtocolTypes.size() + 1) << "every short name and \"terminal\"";
  EXPECT_TRUE(completed.count("terminal"));
  EXPECT_EQ(metricsLabels.size(), ProtocolTypes.size());

  std::set<std::size_t> slots;
  for (const ProtocolDescriptor& type : ProtocolTypes) {
    SCOPED_TRACE(type.shortName);
    const int index = type.listIndex;
    // The client's list, its names and the way each type runs.
    EXPECT_EQ(client::findProtocolType(type.shortName), index);
    EXPECT_EQ(client::findProtocolType(type.text), index);
    EXPECT_EQ(client::findProtocolType(std::to_string(index)), index);
    EXPECT_EQ(client::chooseTest(static_cast<std::uint8_t>(type.number), index), type.way);
    EXPECT_EQ(client::usesRawSocket(index), type.right == ClientRight::RawSockets);
    EXPECT_EQ(type.port != 0, type.way == TestWay::EchoUdp || type.way == TestWay::EchoTcp || type.way == TestWay::TerminalUdp);
    EXPECT_NE(listing.find(format("%5d  %6u  %-10s  %s\n", index, type.number, type.shortName, type.text)), std::string::npos)
        << listing;
    // The server: one service per type, its counters' label and the name in its start line.
    EXPECT_TRUE(slots.insert(type.serviceSlot).second);
    EXPECT_STREQ(server::serviceLabel(type.serviceSlot), type.shortName);
    EXPECT_TRUE(metricsLabels.count(type.shortName));
    if (sentRaw(type)) {
      EXPECT_EQ(server::messages::rawStartLine(type.number), format("Старт сервера, протокол №%u (%s)", type.number, type.text));
    } else {
      EXPECT_FALSE(server::protocolName(type.number)) << "no raw responder for " << type.number;
    }
    // What is kept by hand beside the code.
    EXPECT_TRUE(completed.count(type.shortName));
    EXPECT_EQ(manRows[static_cast<std::size_t>(index) + 1].rfind(format("%d\t%s\t%s\t%u\t", index, type.shortName, type.text, type.number), 0), 0u)
        << manRows[static_cast<std::size_t>(index) + 1];
  }

  // The example targets of the exporter name types the client knows.
  const std::string probes = sourceFile("deploy/prometheus/targets/probes.yml");
  const std::regex label("protocol: ([^}, ]+)");
  int groups = 0;
  for (std::sregex_iterator it(probes.begin(), probes.end(), label), end; it != end; ++it, ++groups) {
    EXPECT_TRUE(client::findProtocolType((*it)[1].str())) << (*it)[1].str();
  }
  EXPECT_GT(groups, 0);
}

// A number shared by two types names neither; the number of a raw responder names it alone.
TEST(ProtocolTable, ANumberNamesATypeOnlyWhereItIsOneTypes) {
  EXPECT_EQ(typesNumbered(17).size(), 2u);
  EXPECT_NE(client::lookUpProtocolType("17").error.find("17 is the number of both udp (IP-Клиент) and telm-udp"),
            std::string::npos);
  EXPECT_FALSE(server::protocolName(17));
  EXPECT_EQ(server::protocolName(53), "ВЕЛТ-IP");
  EXPECT_EQ(server::protocolName(1), "ICMP");
  EXPECT_FALSE(server::protocolName(200));
  EXPECT_EQ(client::chooseTest(17, client::UdpEchoIndex), TestWay::EchoUdp);
  EXPECT_EQ(client::chooseTest(17, client::TerminalUdpIndex), TestWay::TerminalUdp);
  EXPECT_EQ(client::chooseTest(200, client::UdpEchoIndex), TestWay::RawIp) << "a number of no type is sent raw";
}

}  // namespace
}  // namespace connchk
