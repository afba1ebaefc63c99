#include "client/exporter_query.h"

#include <CivetServer.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>

#include "client/protocol_catalogue.h"
#include "client/run_parameters.h"
#include "common/text_format.h"

namespace connchk::client {

using std::chrono::milliseconds;

namespace {

std::string shortNames() {
  std::string names;
  for (const ProtocolType& type : ProtocolCatalogue()) names += std::string(names.empty() ? "" : ", ") + type.shortName;
  return names;
}

// The way a probe's via= names, or why it may not take it.
platform::Result<platform::WayOut> probeWay(const std::string& via, const ProbeWays& ways) {
  for (const platform::LabelledWay& labelled : ways.labelled) {
    if (labelled.label == via) return labelled.way;
  }
  if (!ways.allowAny) {
    std::string labels;
    for (const platform::LabelledWay& labelled : ways.labelled) labels += (labels.empty() ? "" : ", ") + labelled.label;
    return platform::refusedInput(labels.empty() ? "via is not allowed: the exporter was started without --via"
                                                 : "via must be one of the ways the exporter was started with: " + labels);
  }
  auto way = platform::parseWayOut(via);
  if (!way) return way;
  if (std::string problem = platform::wayOutProblem(*way); !problem.empty()) return platform::refusedInput(std::move(problem));
  return way;
}

}  // namespace

ProbeQueryParse parseProbeQuery(const std::string& queryString, const ProbeWays& ways) {
  const auto param = [&](const char* name) -> std::optional<std::string> {
    std::string value;
    if (!CivetServer::getParam(queryString, name, value)) return std::nullopt;
    return value;
  };
  ProbeQuery query;
  const auto target = param("target");
  if (!target || target->empty()) return {std::nullopt, "missing target: give target=HOST, the server's address or host name"};
  if (addressTooLong(*target)) {
    return {std::nullopt, format("target is longer than %zu characters", MaxAddressLength)};
  }
  if (std::any_of(target->begin(), target->end(), [](char c) { return static_cast<unsigned char>(c) <= ' ' || c == 0x7F; })) {
    return {std::nullopt, "target holds blanks or control characters, which no address or host name has"};
  }
  query.target = *target;

  const auto protocol = param("protocol");
  const std::string allowed = "use a short name (" + shortNames() + "), the exact catalogue text or its index 0 to 14";
  if (!protocol || protocol->empty()) return {std::nullopt, "missing protocol: give protocol=TYPE; " + allowed};
  const auto index = findProtocolType(*protocol);
  if (!index) return {std::nullopt, "unknown protocol: " + allowed};
  query.protocolIndex = *index;

  if (const auto count = param("count")) {
    const auto parsed = parseWholeNumber(*count, 1, MaxProbeCount);
    if (!parsed) return {std::nullopt, format("count must be a whole number from 1 to %d", MaxProbeCount)};
    query.count = static_cast<int>(*parsed);
  }
  if (const auto size = param("size")) {
    const auto parsed = parseSize(*size);
    if (!parsed) return {std::nullopt, format("size must be a whole number from %u to %u", MinPacketSize, MaxPacketSize)};
    query.size = *parsed;
  }
  if (const auto terminal = param("terminal")) {
    const auto parsed = parseTerminal(*terminal);
    if (!parsed) return {std::nullopt, format("terminal must be a whole number from %d to %d", MinTerminal, MaxTerminal)};
    query.terminal = *parsed;
  }
  if (const auto family = param("family")) {
    const std::string asked = asciiLower(*family);
    if (asked == "ipv4" || asked == "4") {
      query.family = platform::FamilyChoice::IPv4;
    } else if (asked == "ipv6" || asked == "6") {
      query.family = platform::FamilyChoice::IPv6;
    } else {
      return {std::nullopt, "family must be ipv4 or ipv6 (or leave it out for the resolver's first address)"};
    }
  }
  if (const auto via = param("via")) {
    const auto way = probeWay(*via, ways);
    if (!way) return {std::nullopt, way.error().text};
    query.way = *way;
    // An address sends in its own family; one forced otherwise cannot be reached from it.
    if (way->kind == platform::WayOut::Kind::Address) {
      const auto own = way->address.family() == platform::Family::IPv4 ? platform::FamilyChoice::IPv4
                                                                        : platform::FamilyChoice::IPv6;
      if (query.family != platform::FamilyChoice::Any && query.family != own) {
        return {std::nullopt, "via names an address of the other family than family= asks for"};
      }
      query.family = own;
    }
  }
  if (const auto trace = param("trace")) {
    if (*trace != "0" && *trace != "1") return {std::nullopt, "trace must be 1 (trace the type too) or 0"};
    query.trace = *trace == "1";
  }
  return {query, {}};
}

milliseconds probeBudget(const char* scrapeTimeoutHeader) {
  if (!scrapeTimeoutHeader) return milliseconds(DefaultProbeBudgetMs);
  char* end = nullptr;
  const double seconds = std::strtod(scrapeTimeoutHeader, &end);
  if (end == scrapeTimeoutHeader || *end != '\0' || !std::isfinite(seconds) || seconds <= 0) {
    return milliseconds(DefaultProbeBudgetMs);
  }
  const double budgetMs = std::clamp((seconds - 0.5) * 1000.0, 0.0, 60000.0);
  return milliseconds(static_cast<long long>(budgetMs));
}

std::optional<int> answerTimeoutWithin(milliseconds budget, int count) {
  if (count < 1) return std::nullopt;
  const long long pauses = static_cast<long long>(count - 1) * ProbeIntervalMs;
  const long long each = (budget.count() - pauses) / count;
  if (each < MinProbeAnswerTimeoutMs) return std::nullopt;
  return static_cast<int>(std::min<long long>(each, MaxProbeAnswerTimeoutMs));
}

milliseconds accountShare(milliseconds budget, int count) {
  const milliseconds share = std::min(budget / 5, milliseconds(MaxProbeAccountMs));
  if (share < milliseconds(MinProbeAccountMs) || !answerTimeoutWithin(budget - share, count)) return milliseconds(0);
  return share;
}

}  // namespace connchk::client
