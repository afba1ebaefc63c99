// The account query (layout E) and the server's account store: what goes on the wire, what an
// original peer makes of it, and what the store tells to whom.
#include <gtest/gtest.h>

#include <algorithm>

#include <chrono>
#include <vector>

#include "client/account.h"
#include "common/protocol.h"
#include "server/account_store.h"
#include "server/request_rules.h"

namespace connchk {
namespace {

using server::AccountStore;
using server::Arrived;
using server::QueryRateLimit;
using client::RoundRecord;
using client::RoundResult;
using client::RunOutcome;
using client::ServerAccount;

platform::Address at(const char* literal, std::uint16_t port = 0) { return platform::Address::parse(literal, port).value(); }

Arrived bare(std::uint64_t identity) {
  Arrived a;
  a.identity = identity;
  return a;
}

RequestArrival arrivedFrom(std::uint64_t identity, std::initializer_list<std::uint8_t> address, bool ipv6) {
  RequestArrival a;
  a.identity = identity;
  a.arrived = true;
  a.service = AccountService::Raw;
  a.protocol = 53;
  a.ttl = 62;
  a.tos = 184;
  a.size = 84;
  a.ipv6 = ipv6;
  std::copy(address.begin(), address.end(), a.address.begin());
  a.port = 0;
  a.ageMs = 1234;
  return a;
}

TEST(AccountLayout, QueryAndAnswerReadBackWhatWasWritten) {
  const std::vector<std::uint64_t> ids = {1, 0x0102030405060708ULL, ~0ULL};
  const auto query = writeAccountQuery(77, ids);
  ASSERT_EQ(query.size(), 24u + 3 * 8);
  const auto read = readAccountQuery(query.data(), query.size());
  ASSERT_TRUE(read);
  EXPECT_EQ(read->queryTime, 77u);
  EXPECT_EQ(read->identities, ids);

  RequestArrival missing;
  missing.identity = 5;
  RequestArrival unknownMarks = arrivedFrom(6, {198, 51, 100, 7}, false);
  unknownMarks.ttl = -1;
  unknownMarks.tos = -1;
  const std::vector<RequestArrival> entries = {arrivedFrom(4, {192, 0, 2, 1}, false), missing, unknownMarks,
                                               arrivedFrom(7, {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2}, true)};
  const auto answer = writeAccountAnswer(77, entries);
  ASSERT_EQ(answer.size(), accountAnswerLength(entries.size()));
  const auto back = readAccountAnswer(answer.data(), answer.size());
  ASSERT_TRUE(back);
  EXPECT_EQ(back->queryTime, 77u);
  EXPECT_EQ(back->entries, entries);
}

TEST(AccountLayout, ReadersRefuseWhatIsNotWhole) {
  const std::vector<std::uint64_t> two = {1, 2};
  const auto query = writeAccountQuery(9, two);
  const auto answer = writeAccountAnswer(9, std::vector<RequestArrival>(2));
  struct Case {
    const char* what;
    std::vector<std::uint8_t> bytes;
    bool isQuery;
  };
  auto patched = [](std::vector<std::uint8_t> b, std::size_t offset, std::uint8_t value) {
    b[offset] = value;
    return b;
  };
  const std::vector<Case> cases = {
      {"query cut short", {query.begin(), query.end() - 1}, true},
      {"query without its marker", patched(query, 19, 'Q' + 1), true},
      {"query of an unknown version", patched(query, layout_e::Version, 2), true},
      {"query naming no identity", patched(query, layout_e::Count, 0), true},
      {"query naming more than 64", patched(query, layout_e::Count, 65), true},
      {"query claiming more than it holds", patched(query, layout_e::Count, 3), true},
      {"answer cut short", {answer.begin(), answer.end() - 1}, false},
      {"answer with the query's marker", patched(answer, 19, 'Q'), false},
      {"header only", {query.begin(), query.begin() + 23}, true},
  };
  for (const Case& c : cases) {
    if (c.isQuery) {
      EXPECT_FALSE(readAccountQuery(c.bytes.data(), c.bytes.size())) << c.what;
    } else {
      EXPECT_FALSE(readAccountAnswer(c.bytes.data(), c.bytes.size())) << c.what;
    }
  }
  EXPECT_FALSE(readAccountAnswer(query.data(), query.size())) << "a query is no answer";
  EXPECT_FALSE(readAccountQuery(answer.data(), answer.size())) << "an answer is no query";
}

TEST(AccountLayout, AnOriginalPeerTakesNeitherForItsOwn) {
  const std::vector<std::uint64_t> ids(64, 0x1122334455667788ULL);
  const auto query = writeAccountQuery(1, ids, accountAnswerLength(64));
  const auto answer = writeAccountAnswer(1, std::vector<RequestArrival>(64));
  // An original server looks for the request marker at 8 (and over UDP at 0): an erroneous request.
  for (const std::size_t offset : {std::size_t{0}, layout_a::Marker, layout_b::Marker}) {
    EXPECT_FALSE(hasMarker(query.data(), query.size(), offset, RequestMarker)) << offset;
    // An original client looks for the reply marker at 8 (TELM-UDP at 12).
    EXPECT_FALSE(hasMarker(answer.data(), answer.size(), offset, ReplyMarker)) << offset;
  }
  EXPECT_EQ(query.size(), answer.size()) << "a padded query is as long as its answer";
  EXPECT_EQ(writeAccountQuery(1, std::vector<std::uint64_t>(70, 1)).size(), accountQueryLength(64)) << "64 at most";
}

TEST(AccountLayout, TcpPiecesWaitForTheWholeQuery) {
  const auto query = writeAccountQuery(3, std::vector<std::uint64_t>(10, 8));
  EXPECT_EQ(accountQueryNeeds(query.data(), 20), layout_e::HeaderLength);
  EXPECT_EQ(accountQueryNeeds(query.data(), query.size()), query.size());
  std::uint8_t echo[20] = {};
  buildEchoRequest(echo, 1);
  EXPECT_EQ(accountQueryNeeds(echo, sizeof echo), 0u) << "an echo request is judged at 20 bytes as ever";

  // Over TCP the query is taken whole, however the stream cuts it, and nothing of it is echoed.
  server::RequestStream stream;
  for (std::size_t i = 0; i < query.size(); ++i) {
    stream.take(&query[i], 1, true);
    EXPECT_TRUE(stream.toSend().empty()) << "after " << i + 1 << " bytes";
    const auto ended = stream.takeEnded();
    ASSERT_EQ(ended.size(), i + 1 == query.size() ? 1u : 0u) << "after " << i + 1 << " bytes";
    if (!ended.empty()) {
      EXPECT_EQ(ended[0].query, query);
    }
  }
}

TEST(AccountStore, TellsAHostOnlyAboutItsOwnRequests) {
  AccountStore store;
  const auto client = at("198.51.100.7", 40112);
  store.record(Arrived{42, AccountService::UdpEcho, 17, {62, 184}}, client, 32);
  store.record(Arrived{43, AccountService::Raw, 53, {61, 0}}, at("2001:db8::7"), 84);

  const std::vector<std::uint64_t> asked = {42, 43, 44};
  const auto mine = store.lookUp(asked, at("::ffff:198.51.100.7", 5555));  // the query's own port and form
  ASSERT_EQ(mine.size(), 3u);
  EXPECT_TRUE(mine[0].arrived);
  EXPECT_EQ(mine[0].ttl, 62);
  EXPECT_EQ(mine[0].tos, 184);
  EXPECT_EQ(mine[0].port, 40112);
  EXPECT_EQ(mine[0].size, 32);
  EXPECT_EQ(mine[0].service, AccountService::UdpEcho);
  EXPECT_FALSE(mine[1].arrived) << "another host's request";
  EXPECT_FALSE(mine[2].arrived) << "never received";

  const auto other = store.lookUp(asked, at("198.51.100.8"));
  for (const auto& a : other) EXPECT_EQ(a, RequestArrival{.identity = a.identity}) << "nothing but the identity";
  EXPECT_TRUE(store.lookUp(asked, at("2001:db8::7"))[1].arrived);
}

TEST(AccountStore, KeepsTheNewestRequestsOnly) {
  AccountStore store;
  const auto client = at("192.0.2.9");
  for (std::uint64_t id = 1; id <= AccountStore::Capacity + 10; ++id) store.record(bare(id), client, 20);
  EXPECT_EQ(store.size(), AccountStore::Capacity);
  const std::vector<std::uint64_t> asked = {1, 10, 11, AccountStore::Capacity + 10};
  const auto told = store.lookUp(asked, client);
  EXPECT_FALSE(told[0].arrived);
  EXPECT_FALSE(told[1].arrived);
  EXPECT_TRUE(told[2].arrived);
  EXPECT_TRUE(told[3].arrived);
  // Every identity the ring holds is found, and none it let go, after a whole second turn of the
  // ring has taken each of them out of the index again.
  const auto heldAfter = [&](std::uint64_t first, std::uint64_t last) {
    std::vector<std::uint64_t> ids;
    for (std::uint64_t id = first; id <= last; ++id) ids.push_back(id);
    const auto found = store.lookUp(ids, client);
    return std::count_if(found.begin(), found.end(), [](const auto& a) { return a.arrived; });
  };
  for (std::uint64_t id = AccountStore::Capacity + 11; id <= 2 * AccountStore::Capacity + 10; ++id) {
    store.record(bare(id * 0x10001), client, 20);
  }
  EXPECT_EQ(heldAfter(1, AccountStore::Capacity + 10), 0);
  std::vector<std::uint64_t> spread;
  for (std::uint64_t id = AccountStore::Capacity + 11; id <= 2 * AccountStore::Capacity + 10; ++id) spread.push_back(id * 0x10001);
  const auto found = store.lookUp(spread, client);
  EXPECT_EQ(std::count_if(found.begin(), found.end(), [](const auto& a) { return a.arrived; }),
            static_cast<long>(AccountStore::Capacity));

  // A repeated identity (a duplicated datagram) tells the newest; the older one leaving the ring
  // does not take the newer one with it.
  AccountStore twice;
  twice.record(Arrived{7, AccountService::UdpEcho, 17, {64, 0}}, client, 20);
  twice.record(Arrived{7, AccountService::UdpEcho, 17, {60, 0}}, client, 20);
  for (std::uint64_t id = 100; id < 100 + AccountStore::Capacity - 1; ++id) twice.record(bare(id), client, 20);
  const std::vector<std::uint64_t> seven = {7};
  EXPECT_EQ(twice.lookUp(seven, client)[0].ttl, 60);
}

TEST(QueryRateLimit, AllowsABurstThenFiveASecondPerSource) {
  QueryRateLimit limit;
  const auto t0 = QueryRateLimit::Clock::time_point{} + std::chrono::hours(1);
  const auto source = at("203.0.113.5", 1000);
  int allowed = 0;
  for (int i = 0; i < 100; ++i) allowed += limit.allow(source.withPort(static_cast<std::uint16_t>(1000 + i)), t0);
  EXPECT_EQ(allowed, QueryRateLimit::Burst) << "the source's ports share one allowance";
  EXPECT_TRUE(limit.allow(at("203.0.113.6"), t0)) << "another source has its own";
  allowed = 0;
  for (int i = 0; i < 100; ++i) allowed += limit.allow(source, t0 + std::chrono::seconds(1));
  EXPECT_EQ(allowed, QueryRateLimit::PerSecond);

  EXPECT_TRUE(limit.mayTellRefusal(t0));
  EXPECT_FALSE(limit.mayTellRefusal(t0 + std::chrono::milliseconds(999)));
  EXPECT_TRUE(limit.mayTellRefusal(t0 + std::chrono::seconds(1)));
}

// A run of four requests (identities 1 to 4) of which those in `answered` were answered, and what
// a server told of those in `arrived`.
struct AccountCase {
  const char* what;
  std::vector<int> answered;
  std::vector<int> arrived;
  int ttl, tos, sentTos;
  std::uint16_t port;  // as the server saw it
  std::uint32_t answerPort;
  std::vector<std::string> lines;
};

TEST(ClientAccount, TellsWhichWayItBroke) {
  const std::string h = "Отчет сервера: ";
  const std::vector<AccountCase> cases = {
      {"open path", {1, 2, 3, 4}, {1, 2, 3, 4}, 62, 0, 0, 40112, 0,
       {h + "запросов дошло до сервера 4 из 4", h + "сервер видит вас как 198.51.100.7:40112",
        h + "TTL по прибытии 62, маршрутизаторов на пути 2"}},
      {"answers lost", {}, {1, 2, 3, 4}, 62, 0, 0, 40112, 0,
       {h + "запросов дошло до сервера 4 из 4", h + "запросы доходят, ответы теряются на обратном пути",
        h + "сервер видит вас как 198.51.100.7:40112", h + "TTL по прибытии 62, маршрутизаторов на пути 2"}},
      {"requests lost", {}, {}, -1, -1, 0, 0, 0,
       {h + "запросов дошло до сервера 0 из 4", h + "запросы теряются на пути к серверу"}},
      {"both, a NAT, the exchange's port", {1}, {1, 2}, 60, 0, 184, 855, 856,
       {h + "запросов дошло до сервера 2 из 4", h + "потеряно на пути к серверу 2, на обратном пути 1",
        h + "сервер видит вас как 198.51.100.7:855", h + "адрес изменён по пути (NAT)",
        h + "TELM-UDP за NAT: сервер отвечает с порта 856, а NAT пропускает ответы только с порта 855",
        h + "TTL по прибытии 60, маршрутизаторов на пути 4", h + "DSCP отправлен 46, получен 0: изменён по пути"}},
      {"marks unknown, DSCP kept", {1, 2, 3, 4}, {1, 2, 3, 4}, -1, 184, 184, 40112, 0,
       {h + "запросов дошло до сервера 4 из 4", h + "сервер видит вас как 198.51.100.7:40112",
        h + "DSCP отправлен 46, получен 46"}},
  };
  for (const AccountCase& c : cases) {
    RunOutcome outcome;
    std::vector<RequestArrival> told;
    for (std::uint64_t id = 1; id <= 4; ++id) {
      const bool answered = std::count(c.answered.begin(), c.answered.end(), static_cast<int>(id)) > 0;
      outcome.rounds.push_back(RoundRecord{.number = static_cast<int>(id),
                                           .result = answered ? RoundResult::Answered : RoundResult::TimedOut,
                                           .identity = id});
      RequestArrival a = arrivedFrom(id, {198, 51, 100, 7}, false);
      a.arrived = std::count(c.arrived.begin(), c.arrived.end(), static_cast<int>(id)) > 0;
      a.ttl = c.ttl;
      a.tos = c.tos;
      a.port = c.port;
      told.push_back(a);
    }
    told.push_back(arrivedFrom(99, {198, 51, 100, 7}, false));  // not this run's: left out
    // The exchange case runs behind a NAT: this host is 10.0.0.5 there.
    const client::SendingSide side{c.answerPort ? "10.0.0.5" : "198.51.100.7", c.answerPort ? 855 : 40112, 64, c.sentTos,
                                   c.answerPort};
    const ServerAccount account = client::judgeAccount(outcome, told, side);
    EXPECT_EQ(client::accountLines(account), c.lines) << c.what;
  }
  const ServerAccount silent = client::judgeAccount(RunOutcome{}, std::nullopt, {});
  EXPECT_EQ(client::accountLines(silent), std::vector<std::string>{h + "сервер не сообщает, что получил"});
  EXPECT_EQ(client::accountLossCell(silent), "-");
  EXPECT_TRUE(client::accountLines(ServerAccount{}).empty()) << "not asked: nothing said";
}

TEST(ClientAccount, HopsCountFromTheTtlSentOrTheUsualStart) {
  EXPECT_EQ(client::hopsTaken(64, 62), 2);
  EXPECT_EQ(client::hopsTaken(-1, 62), 2);
  EXPECT_EQ(client::hopsTaken(-1, 120), 8);
  EXPECT_EQ(client::hopsTaken(-1, 250), 5);
  EXPECT_EQ(client::hopsTaken(64, -1), -1);
}

}  // namespace
}  // namespace connchk
