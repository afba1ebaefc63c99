#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "server/protocol_names.h"
#include "server/sender_statistics.h"
#include "server/services.h"

namespace connchk::server {
namespace {

std::uint32_t address(const char* dotted) {
  in_addr a{};
  inet_pton(AF_INET, dotted, &a);
  return a.s_addr;
}

class Lines : public StatisticsView {
 public:
  void appendStatisticsLine(const std::string& line) override {
    std::lock_guard<std::mutex> hold(mutex);
    lines.push_back(line);
  }
  std::mutex mutex;
  std::vector<std::string> lines;
};

TEST(ProtocolNames, FirstPairWithTheNumberCounts) {
  EXPECT_EQ(ProtocolNameTable().size(), 14u);
  EXPECT_EQ(protocolName(17), "TELM-UDP");
  EXPECT_EQ(protocolName(1), "ICMP");
  EXPECT_EQ(protocolName(110), "ВЕЛТ-IP Поток 1");
  EXPECT_EQ(protocolName(55), "TELM-IP");
  EXPECT_FALSE(protocolName(6));
}

TEST(SenderStatistics, ShowsEachAddressOnceWithItsFirstSize) {
  SenderStatistics statistics;
  Lines view;
  statistics.setView(&view);
  statistics.record(address("10.1.2.3"), 32);
  statistics.record(address("10.1.2.3"), 84);
  statistics.record(address("192.0.2.7"), 84);
  EXPECT_EQ(view.lines, (std::vector<std::string>{"10.1.2.3 размер 32", "192.0.2.7 размер 84"}));
}

TEST(SenderStatistics, TheHundredAndFirstAddressGetsNoLine) {
  SenderStatistics statistics;
  Lines view;
  statistics.setView(&view);
  for (std::uint32_t i = 1; i <= 101; ++i) statistics.record(htonl(0x0A000000 + i), 20);
  EXPECT_EQ(view.lines.size(), 100u);
  EXPECT_EQ(view.lines.back(), "10.0.0.100 размер 20");
  EXPECT_EQ(statistics.filledSlots(), 100);
  statistics.record(htonl(0x0A000001), 20);
  EXPECT_EQ(view.lines.size(), 100u) << "a known address still changes nothing";
}

TEST(SenderStatistics, ThreadsAddingDifferentAddressesTakeDifferentSlots) {
  SenderStatistics statistics;
  Lines view;
  statistics.setView(&view);
  std::vector<std::thread> threads;
  for (std::uint32_t t = 0; t < 4; ++t) {
    threads.emplace_back([&statistics, t] {
      for (std::uint32_t i = 1; i <= 20; ++i) statistics.record(htonl(0x0A000000 + t * 100 + i), 32);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(statistics.filledSlots(), 80);
  EXPECT_EQ(view.lines.size(), 80u);
}

TEST(ReceivedPacketLine, ReadsUnresolvedAsPlainText) {
  EXPECT_EQ(receivedPacketLine("10.1.2.3", ", протокол TCP, 32 байт данных"),
            "Принят пакет от 10.1.2.3 (unresolved), протокол TCP, 32 байт данных");
  EXPECT_EQ(receivedPacketLine("10.1.2.3", " %s%n%x"), "Принят пакет от 10.1.2.3 (unresolved) %s%n%x")
      << "nothing in the line is taken as a format";
}

}  // namespace
}  // namespace connchk::server
