// The JSON documents of a run and of a sweep (docs/json.md shows their schema).
#include <ctime>

#include <nlohmann/json.hpp>

#include "client/protocol_catalogue.h"
#include "client/report.h"
#include "client/sweep.h"
#include "client/trace_report.h"
#include "common/text_format.h"

namespace connchk::client {

using json = nlohmann::ordered_json;  // keys in the order written: parameters before rounds before summary

namespace {

json parametersJson(const RunRequest& request, bool withType) {
  json p = {{"address", request.address},
            {"size", request.size},
            {"count", request.count},
            {"interval_ms", request.intervalMs},
            {"timeout_ms", request.timeoutMs}};
  const auto catalogue = ProtocolCatalogue();
  if (withType && request.protocolIndex >= 0 && request.protocolIndex < static_cast<int>(catalogue.size())) {
    const ProtocolType& type = catalogue[static_cast<std::size_t>(request.protocolIndex)];
    p["type"] = type.text;
    p["short_name"] = type.shortName;
    p["protocol"] = request.protocolNumber;
  }
  p["terminal"] = (!withType || request.protocolIndex == TerminalUdpIndex) ? json(request.terminal) : json(nullptr);
  // Only where given, so that a document without them reads as it always did.
  if (!request.way.viaTable()) p["via"] = request.way.name;
  if (request.way.hopLimit != 0) p["ttl"] = request.way.hopLimit;
  if (request.paced) p["paced"] = true;
  return p;
}

json roundsJson(const RunOutcome& outcome) {
  json rounds = json::array();
  for (const RoundRecord& round : outcome.rounds) {
    const bool answered = round.result == RoundResult::Answered;
    const bool hasError = round.result == RoundResult::ReceiveError || round.result == RoundResult::SendError;
    rounds.push_back({{"number", round.number},
                      {"sent_at", round.sentAtUnixUs > 0 ? json(utcTimeText(round.sentAtUnixUs)) : json(nullptr)},
                      {"sent_at_us", round.sentAtUnixUs > 0 ? json(round.sentAtUnixUs) : json(nullptr)},
                      {"result", roundResultName(round.result)},
                      {"error", hasError ? json(round.error) : json(nullptr)},
                      {"rtt_us", answered && round.roundTripUs >= 0 ? json(round.roundTripUs) : json(nullptr)}});
  }
  return rounds;
}

json textOrNull(const std::string& text) { return text.empty() ? json(nullptr) : json(text); }

json numberOrNull(int value) { return value < 0 ? json(nullptr) : json(value); }

json summaryJson(const RunSummary& s, const Judgement& judgement) {
  json summary = {{"sent", s.sent},
                  {"answered", s.answered},
                  {"loss_percent", s.lossPercent},
                  {"verdict", verdictName(judgement.verdict)},
                  {"reason_code", textOrNull(judgement.reason.code)},
                  {"reason", textOrNull(judgement.reason.text)},
                  {"duplicates", s.duplicates},
                  {"late", s.lateAnswers},
                  {"tcp_retransmissions", numberOrNull(s.tcpRetransmissions)}};
  summary["rtt_us"] = s.answered > 0 ? json{{"min", s.minUs},
                                            {"avg", s.avgUs},
                                            {"max", s.maxUs},
                                            {"mdev", s.mdevUs},
                                            {"median", s.medianUs},
                                            {"p95", s.p95Us},
                                            {"p99", s.p99Us},
                                            {"jitter", s.jitterUs}}
                                     : json(nullptr);
  return summary;
}

// What the server said it received; null when it gave no account (or was not asked).
json accountJson(const ServerAccount& a) {
  if (!a.given) return json(nullptr);
  return {{"reached", a.reached},     {"lost_there", a.lostThere},       {"lost_back", a.lostBack},
          {"seen_as", textOrNull(a.seenAs)}, {"ttl", numberOrNull(a.ttl)}, {"tos", numberOrNull(a.tos)},
          {"sizes", a.sizes}};
}

}  // namespace

std::string utcTimeText(std::int64_t unixMicroseconds) {
  const std::time_t seconds = static_cast<std::time_t>(unixMicroseconds / 1000000);
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  char date[32];
  std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &parts);
  return format("%s.%06lldZ", date, static_cast<long long>(unixMicroseconds % 1000000));
}

json runJson(const RunRequest& request, const RunOutcome& outcome) {
  json document = {{"kind", "run"},
          {"parameters", parametersJson(request, true)},
          {"started", !outcome.startFailed},
          {"failure", textOrNull(outcome.startFailed ? outcome.failure.text : std::string())},
          {"stopped", outcome.stopped},
          {"rounds", roundsJson(outcome)},
          {"summary", summaryJson(summarize(outcome), outcome.judgement)},
          {"account", accountJson(outcome.account)},
          {"exit_status", runExitStatus(outcome)}};
  // An endless run keeps its newest rounds only; the summary still counts them all.
  if (outcome.roundsDropped > 0) document["rounds_dropped"] = outcome.roundsDropped;
  return document;
}

json sweepJson(const RunRequest& request, const SweepResult& result) {
  const auto catalogue = ProtocolCatalogue();
  json types = json::array();
  int counts[4] = {0, 0, 0, 0};
  for (const SweepRow& row : result.rows) {
    const ProtocolType& type = catalogue[static_cast<std::size_t>(row.typeIndex)];
    ++counts[static_cast<int>(row.verdict)];
    types.push_back({{"type", type.text},
                     {"short_name", type.shortName},
                     {"index", row.typeIndex},
                     {"protocol", type.number},
                     {"verdict", verdictName(row.verdict)},
                     {"reason_code", textOrNull(row.reasonCode)},
                     {"reason", textOrNull(row.reason)},
                     {"stopped", row.outcome.stopped},
                     {"summary", summaryJson(row.summary, Judgement{row.verdict, {row.reasonCode, row.reason}})},
                     {"account", accountJson(row.outcome.account)},
                     {"rounds", roundsJson(row.outcome)}});
    if (row.trace) types.back()["trace"] = traceObjectJson(*row.trace);
    if (row.mtu) types.back()["mtu"] = mtuFindingJson(*row.mtu);
  }
  return {{"kind", "sweep"},
          {"parameters", parametersJson(request, false)},
          {"started", result.started},
          {"failure", textOrNull(result.failure)},
          {"types", types},
          {"passed", counts[static_cast<int>(Verdict::Pass)] + counts[static_cast<int>(Verdict::Loss)]},
          {"passed_with_loss", counts[static_cast<int>(Verdict::Loss)]},
          {"failed", counts[static_cast<int>(Verdict::Fail)]},
          {"not_run", counts[static_cast<int>(Verdict::NotRun)]},
          {"exit_status", result.exitStatus()}};
}

}  // namespace connchk::client
