// A probe query as Prometheus sends it (/probe?target=HOST&protocol=TYPE[&count=N][&size=N]
// [&terminal=N][&family=ipv4|ipv6][&via=LABEL][&trace=1]) and the time it may take, from the scrape's
// own time-out.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/platform/address.h"
#include "common/platform/way_out.h"

namespace connchk::client {

inline constexpr int DefaultProbeCount = 3;
inline constexpr int MaxProbeCount = 20;
inline constexpr int ProbeIntervalMs = 200;        // the pause between a probe's rounds
inline constexpr int MinProbeAnswerTimeoutMs = 100;
inline constexpr int MaxProbeAnswerTimeoutMs = 5000;
inline constexpr int MaxProbeAccountMs = 1000;       // the longest wait for the server's account
inline constexpr int MinProbeAccountMs = 100;
inline constexpr int DefaultProbeBudgetMs = 9000;  // without a scrape time-out to go by

struct ProbeQuery {
  std::string target;
  int protocolIndex = 0;  // in ProtocolCatalogue()
  int count = DefaultProbeCount;
  std::uint32_t size = 32;
  std::uint32_t terminal = 1;
  platform::FamilyChoice family = platform::FamilyChoice::Any;  // family=ipv4|ipv6 (or 4|6)
  platform::WayOut way;   // via=: the way out; the routing table's without it
  bool trace = false;  // trace=1: the type is also traced, within what is left of the scrape's time
};

// The ways out a probe may take with via=: a label the exporter was started with (--via
// [LABEL=]WAY), or, only where it was started with --allow-via, any interface name or address of
// this host. A scraper thus cannot make the exporter send through an interface nobody chose.
struct ProbeWays {
  std::vector<platform::LabelledWay> labelled;
  bool allowAny = false;
};

struct ProbeQueryParse {
  std::optional<ProbeQuery> query;
  std::string error;  // what is wrong with the query, for a 400 answer
};

// Reads the query part of a /probe URL (after '?', still URL-encoded).
ProbeQueryParse parseProbeQuery(const std::string& queryString, const ProbeWays& ways = {});

// The time a probe may take: the scrape's time-out (Prometheus sends it with every scrape, in
// seconds) less half a second for the answer's way back, at most 60 s; 9 s without one.
std::chrono::milliseconds probeBudget(const char* scrapeTimeoutHeader);

// The wait for each answer that lets `count` rounds, with their pauses, end within `budget`: at
// most the usual 5 s, nullopt when less than 0.1 s would be left.
std::optional<int> answerTimeoutWithin(std::chrono::milliseconds budget, int count);

// The time kept at the end of a probe's `budget` for asking the server's account of its `count`
// rounds: a fifth of it, at most 1 s; zero (no account) where less than 0.1 s would be left or
// the rounds would no longer fit in the rest.
std::chrono::milliseconds accountShare(std::chrono::milliseconds budget, int count);

}  // namespace connchk::client
