// A probe query as Prometheus sends it (/probe?target=HOST&protocol=TYPE[&count=N][&size=N]
// [&terminal=N][&family=ipv4|ipv6][&trace=1]) and the time it may take, from the scrape's own time-out.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "common/platform/address.h"

namespace connchk::client {

inline constexpr int DefaultProbeCount = 3;
inline constexpr int MaxProbeCount = 20;
inline constexpr int ProbeIntervalMs = 200;        // the pause between a probe's rounds
inline constexpr int MinProbeAnswerTimeoutMs = 100;
inline constexpr int MaxProbeAnswerTimeoutMs = 5000;
inline constexpr int DefaultProbeBudgetMs = 9000;  // without a scrape time-out to go by

struct ProbeQuery {
  std::string target;
  int protocolIndex = 0;  // in ProtocolCatalogue()
  int count = DefaultProbeCount;
  std::uint32_t size = 32;
  std::uint32_t terminal = 1;
  platform::FamilyChoice family = platform::FamilyChoice::Any;  // family=ipv4|ipv6 (or 4|6)
  bool trace = false;  // trace=1: the type is also traced, within what is left of the scrape's time
};

struct ProbeQueryParse {
  std::optional<ProbeQuery> query;
  std::string error;  // what is wrong with the query, for a 400 answer
};

// Reads the query part of a /probe URL (after '?', still URL-encoded).
ProbeQueryParse parseProbeQuery(const std::string& queryString);

// The time a probe may take: the scrape's time-out (Prometheus sends it with every scrape, in
// seconds) less half a second for the answer's way back, at most 60 s; 9 s without one.
std::chrono::milliseconds probeBudget(const char* scrapeTimeoutHeader);

// The wait for each answer that lets `count` rounds, with their pauses, end within `budget`: at
// most the usual 5 s, nullopt when less than 0.1 s would be left.
std::optional<int> answerTimeoutWithin(std::chrono::milliseconds budget, int count);

}  // namespace connchk::client
