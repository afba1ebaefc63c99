// The trace's pure pieces: which probe an ICMP error is about (only what it quotes counts, so a
// forged error quoting another probe, or one cut short, settles nothing of this one), the verdict
// of a type from its hops, and the exit status of a whole trace.
#include "client/trace.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/protocol.h"

namespace connchk::client {
namespace {

using platform::Address;
using platform::IcmpError;
using Bytes = std::vector<std::uint8_t>;

const Address Server = *Address::parse("192.0.2.1");
const Address Other = *Address::parse("192.0.2.99");
constexpr std::uint64_t SendTime = 0x0102030405060708ULL;

// An error about a datagram to `to` of `protocol`, quoting `transport` after the IP header.
IcmpError errorQuoting(std::uint8_t protocol, const Address& to, Bytes transport, std::uint16_t sourcePort = 0) {
  IcmpError e;
  e.kind = platform::IcmpErrorKind::TimeExceeded;
  e.type = 11;
  e.offender = *Address::parse("198.51.100.1");
  e.quoted.protocol = protocol;
  e.quoted.destination = to;
  e.quoted.source = Address::any(platform::Family::IPv4, sourcePort);
  e.quoted.portsQuoted = (protocol == 17 || protocol == 6) && transport.size() >= 4;
  e.quoted.transport = std::move(transport);
  return e;
}

Bytes sendTimeBytes(std::uint64_t t) {
  Bytes b(8);
  putU64(b.data(), 0, t);
  return b;
}

Bytes udpQuote(std::uint16_t from, std::uint16_t to, std::uint64_t sendTime, bool withPayload = true) {
  Bytes b{static_cast<std::uint8_t>(from >> 8), static_cast<std::uint8_t>(from), static_cast<std::uint8_t>(to >> 8),
          static_cast<std::uint8_t>(to), 0, 40, 0, 0};
  if (withPayload) {
    const Bytes t = sendTimeBytes(sendTime);
    b.insert(b.end(), t.begin(), t.end());
  }
  return b;
}

Bytes icmpQuote(std::uint16_t identifier, std::uint64_t sendTime, bool withTime = true) {
  Bytes b(withTime ? 16 : 8, 0);
  b[0] = 8;
  putU16(b.data(), layout_d::Identifier, identifier);
  if (withTime) putU64(b.data(), layout_d::Timestamp, sendTime);
  return b;
}

struct MatchCase {
  std::string what;
  ProbeIdentity probe;
  IcmpError error;
  bool matches;
};

TEST(TraceMatching, AnErrorSettlesAProbeOnlyWhenItQuotesThatVeryProbe) {
  const ProbeIdentity udp{17, 40000, Server.withPort(87), SendTime, {}};
  const ProbeIdentity tcp{6, 40001, Server.withPort(87), 0, {}};
  const ProbeIdentity raw{53, 0, Server, SendTime, {}};
  const ProbeIdentity icmp{1, 0, Server, SendTime, 7};
  const Address to87 = Server.withPort(87);
  const std::vector<MatchCase> cases = {
      {"udp: its ports and send time", udp, errorQuoting(17, to87, udpQuote(40000, 87, SendTime), 40000), true},
      {"udp: another probe's send time (forged)", udp, errorQuoting(17, to87, udpQuote(40000, 87, SendTime + 1), 40000), false},
      {"udp: another probe's port", udp, errorQuoting(17, to87, udpQuote(40002, 87, SendTime), 40002), false},
      {"udp: only the header quoted", udp, errorQuoting(17, to87, udpQuote(40000, 87, 0, false), 40000), true},
      {"udp: another destination", udp, errorQuoting(17, Other.withPort(87), udpQuote(40000, 87, SendTime), 40000), false},
      {"udp: another protocol", udp, errorQuoting(6, to87, udpQuote(40000, 87, SendTime), 40000), false},
      {"udp: ports not quoted", udp, errorQuoting(17, to87, Bytes{0x9c}, 0), false},
      {"tcp: its ports", tcp, errorQuoting(6, to87, udpQuote(40001, 87, 0, false), 40001), true},
      {"tcp: another connection's port", tcp, errorQuoting(6, to87, udpQuote(40000, 87, 0, false), 40000), false},
      {"raw: its send time", raw, errorQuoting(53, Server, sendTimeBytes(SendTime)), true},
      {"raw: another probe's send time (forged)", raw, errorQuoting(53, Server, sendTimeBytes(SendTime - 1)), false},
      {"raw: a quote without the send time", raw, errorQuoting(53, Server, Bytes{1, 2, 3, 4}), false},
      {"raw: another protocol number", raw, errorQuoting(55, Server, sendTimeBytes(SendTime)), false},
      {"icmp: its identifier and send time", icmp, errorQuoting(1, Server, icmpQuote(7, SendTime)), true},
      {"icmp: its identifier, 8 bytes quoted", icmp, errorQuoting(1, Server, icmpQuote(7, 0, false)), true},
      {"icmp: another identifier", icmp, errorQuoting(1, Server, icmpQuote(8, SendTime)), false},
      {"icmp: another send time (forged)", icmp, errorQuoting(1, Server, icmpQuote(7, SendTime + 9)), false},
  };
  for (const MatchCase& c : cases) {
    EXPECT_EQ(quotesProbe(c.error, c.probe), c.matches) << c.what;
  }
}

TraceHop hop(int number, HopAnswer answer, const char* address = nullptr, std::string said = {}) {
  TraceHop h;
  h.hop = number;
  h.answer = answer;
  if (address) h.address = Address::parse(address);
  h.said = std::move(said);
  return h;
}

TEST(TraceVerdict, SaysWhereATypeStoppedAndWhoStoppedIt) {
  TypeTrace reached{1, TraceEnd::Reached, {}, {},
                    {hop(1, HopAnswer::TimeExceeded, "198.51.100.1"), hop(2, HopAnswer::Silent),
                     hop(3, HopAnswer::ServerAnswer, "192.0.2.1")}};
  EXPECT_EQ(traceVerdictText(reached), "дошел до сервера на узле 3");
  EXPECT_EQ(reached.lastAnswered()->address->text(), "192.0.2.1");

  TypeTrace silent{2, TraceEnd::Silence, {}, {},
                   {hop(1, HopAnswer::TimeExceeded, "198.51.100.1"), hop(2, HopAnswer::TimeExceeded, "203.0.113.2"),
                    hop(3, HopAnswer::Silent), hop(4, HopAnswer::Silent), hop(5, HopAnswer::Silent)}};
  EXPECT_EQ(traceVerdictText(silent), "обрывается после узла 2 (203.0.113.2), дальше никто не отвечает");
  EXPECT_EQ(silent.lastAnswered()->hop, 2);
  EXPECT_TRUE(silent.refusedWith().empty());

  TypeTrace refused{14, TraceEnd::Refused, {}, {},
                    {hop(1, HopAnswer::Refused, "198.51.100.1", "административно запрещено")}};
  EXPECT_EQ(traceVerdictText(refused), "отвергнут на узле 1 адресом 198.51.100.1: административно запрещено");
  EXPECT_EQ(refused.refusedWith(), "административно запрещено");

  TypeTrace nothing{3, TraceEnd::Silence, {}, {}, {hop(1, HopAnswer::Silent), hop(2, HopAnswer::Silent)}};
  EXPECT_EQ(nothing.lastAnswered(), nullptr);
  EXPECT_EQ(traceVerdictText(nothing), "ни один узел не отвечает");

  TraceResult result;
  result.started = true;
  result.types = {reached, TypeTrace{4, TraceEnd::NotTraced, "no-raw-right", "нет права", {}}};
  EXPECT_EQ(result.exitStatus(), 0) << "a type not traced does not fail the trace";
  result.types.push_back(silent);
  EXPECT_EQ(result.exitStatus(), 1);
  result.types = {TypeTrace{4, TraceEnd::NotTraced, "no-raw-right", "нет права", {}}};
  EXPECT_EQ(result.exitStatus(), 2) << "nothing could be traced";
}

}  // namespace
}  // namespace connchk::client
