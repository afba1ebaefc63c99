// The lines the datagram services make without formatting are the very lines messages.h formats,
// in both their forms: the UTF-8 of the views and the Windows-1251 bytes of the file.
#include "server/log_lines.h"

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "common/activity_log.h"
#include "common/cp1251.h"
#include "server/messages.h"
#include "tests/support/program.h"

namespace connchk::server {
namespace {

::testing::AssertionResult sameLine(const LogLine& fast, const std::string& formatted) {
  if (fast.utf8() != formatted) return ::testing::AssertionFailure() << "\"" << fast.utf8() << "\" != \"" << formatted << "\"";
  if (fast.cp1251() != toWindows1251(formatted)) return ::testing::AssertionFailure() << "file bytes differ: " << formatted;
  return ::testing::AssertionSuccess();
}

TEST(LogLines, MadeInPlaceTheyEqualTheFormattedLines) {
  LogLine line;
  const std::vector<std::string> addresses = {"127.0.0.1", "10.1.2.3", "255.255.255.255", "2001:db8::1",
                                              "fe80::1%eth0", "fe80::1%сеть"};
  const std::vector<std::size_t> lengths = {0, 1, 20, 32, 84, 2048, 65535, 4294967295u};
  for (const auto& address : addresses) {
    for (const std::size_t length : lengths) {
      lines::receivedPacket(line, address, lines::labelled(lines::udpEchoLabel(), length));
      EXPECT_TRUE(sameLine(line, messages::receivedPacketLine(address, messages::packetTail(messages::UdpEchoLabel, length))));
      lines::receivedPacket(line, address, lines::labelled(lines::tcpEchoLabel(), length));
      EXPECT_TRUE(sameLine(line, messages::receivedPacketLine(address, messages::packetTail(messages::TcpEchoLabel, length))));
      lines::receivedPacket(line, address, lines::unconfirmed(lines::terminalLabel(), length));
      EXPECT_TRUE(sameLine(line, messages::receivedPacketLine(address, messages::unconfirmedPacketTail(messages::TerminalLabel, length))));
      for (const std::uint32_t protocol : {1u, 53u, 117u, 255u}) {
        lines::receivedPacket(line, address, lines::numbered(protocol, length));
        EXPECT_TRUE(sameLine(line, messages::receivedPacketLine(address, messages::numberedPacketTail(protocol, length))));
      }
    }
  }
  for (const ssize_t sent : {ssize_t{0}, ssize_t{20}, ssize_t{28}, ssize_t{2048}, ssize_t{65507}}) {
    lines::bytesSent(line, sent);
    EXPECT_TRUE(sameLine(line, messages::bytesSent(sent)));
  }
  for (const int error : {0, 1, 11, 90, 101, 111, -5, INT_MAX, INT_MIN}) {
    lines::sendFailed(line, error);
    EXPECT_TRUE(sameLine(line, messages::sendFailed(error)));
    lines::receiveFailed(line, error);
    EXPECT_TRUE(sameLine(line, messages::receiveFailed(error)));
  }
  EXPECT_TRUE(sameLine(line.clear() << lines::waitingForRequest(), messages::WaitingForRequest));
  EXPECT_TRUE(sameLine(line.clear() << lines::erroneousRequest(), messages::ErroneousRequest));
  EXPECT_TRUE(sameLine(line.clear() << lines::clientClosed(), messages::ClientClosed));
}

// A line made in place reaches the view and the file exactly as the same text logged as a string.
TEST(LogLines, LoggedInPlaceTheyReachViewAndFileAsFormattedLinesDo) {
  testing::ScratchFolder folder;
  for (const LogStyle style : {LogStyle::Server, LogStyle::Client}) {
    const std::string fast = folder.path + "/fast.txt", formatted = folder.path + "/formatted.txt";
    std::filesystem::remove(fast);
    std::filesystem::remove(formatted);
    ActivityLog a = ActivityLog::atPath(style, fast), b = ActivityLog::atPath(style, formatted);
    LogLine line;
    lines::receivedPacket(line, "10.1.2.3", lines::numbered(53, 84));
    a.log(line);
    b.log(messages::receivedPacketLine("10.1.2.3", messages::numberedPacketTail(53, 84)));
    a.log(line.clear().utf8("日 и ё"));
    b.log("日 и ё");
    ASSERT_TRUE(a.flush());
    ASSERT_TRUE(b.flush());
    // The client's lines carry the time of day, which may have turned between the two.
    const std::regex stamp(R"(\[\d\d:\d\d:\d\d\] )");
    const std::string bytes = testing::readFile(fast);
    EXPECT_EQ(std::regex_replace(bytes, stamp, ""), std::regex_replace(testing::readFile(formatted), stamp, ""));
    const auto stamps = std::distance(std::sregex_iterator(bytes.begin(), bytes.end(), stamp), std::sregex_iterator());
    EXPECT_EQ(stamps, style == LogStyle::Client ? 2 : 0);
  }
}

}  // namespace
}  // namespace connchk::server
