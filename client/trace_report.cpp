// What an operator reads of a trace: a table of hops per type, the matrix of all types, and the
// JSON document for scripts.
#include <nlohmann/json.hpp>

#include "client/protocol_catalogue.h"
#include "client/run_parameters.h"
#include "client/trace.h"
#include "client/trace_report.h"
#include "common/text_format.h"

namespace connchk::client {

using json = nlohmann::ordered_json;

namespace {

const ProtocolType& typeAt(int index) { return ProtocolCatalogue()[static_cast<std::size_t>(index)]; }

// Rows of cells as lines, each column as wide as its widest cell (in characters, not bytes).
std::vector<std::string> columns(const std::vector<std::vector<std::string>>& rows, const std::string& indent) {
  std::vector<std::size_t> widths;
  for (const auto& row : rows) {
    if (widths.size() < row.size()) widths.resize(row.size(), 0);
    for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], characterCount(row[i]));
  }
  std::vector<std::string> lines;
  for (const auto& row : rows) {
    std::string line = indent;
    for (std::size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line += std::string(widths[i] - characterCount(row[i]) + 2, ' ');
    }
    lines.push_back(line);
  }
  return lines;
}

std::string rttText(const TraceHop& hop) {
  return hop.rttUs ? format("%lld.%03lld", static_cast<long long>(*hop.rttUs / 1000),
                            static_cast<long long>(*hop.rttUs % 1000))
                   : std::string();
}

json textOrNull(const std::string& text) { return text.empty() ? json(nullptr) : json(text); }

}  // namespace

std::vector<std::string> traceTableLines(const TypeTrace& type) {
  const ProtocolType& t = typeAt(type.typeIndex);
  std::vector<std::string> lines{format("Маршрут типа %s (%s), протокол №%u: %s", t.text, t.shortName, t.number,
                                        traceVerdictText(type).c_str())};
  if (type.hops.empty()) return lines;
  std::vector<std::vector<std::string>> rows{{"Узел", "Адрес", "Время, мс", "Ответ"}};
  for (const TraceHop& hop : type.hops) {
    if (hop.answer == HopAnswer::Silent) {
      rows.push_back({format("%d", hop.hop), "*"});
    } else {
      rows.push_back({format("%d", hop.hop), hop.address ? hop.address->text() : "?", rttText(hop), hop.said});
    }
  }
  for (std::string& line : columns(rows, "  ")) lines.push_back(std::move(line));
  return lines;
}

std::vector<std::string> traceMatrixLines(const TraceResult& result) {
  std::vector<std::vector<std::string>> rows{{"Тип протокола", "№", "Узел", "Адрес", "Итог"}};
  int reached = 0, stopped = 0, notTraced = 0;
  for (const TypeTrace& type : result.types) {
    const ProtocolType& t = typeAt(type.typeIndex);
    const TraceHop* last = type.lastAnswered();
    rows.push_back({t.text, format("%u", t.number), last ? format("%d", last->hop) : "-",
                    last && last->address ? last->address->text() : "-", traceVerdictText(type)});
    ++(type.reached() ? reached : type.traced() ? stopped : notTraced);
  }
  std::vector<std::string> lines{"Итоги трассировки по типам протоколов:"};
  for (std::string& line : columns(rows, "")) lines.push_back(std::move(line));
  lines.push_back(format("Дошли до сервера %d, не дошли %d, не прослежены %d", reached, stopped, notTraced));
  return lines;
}

const char* traceEndName(TraceEnd end) {
  switch (end) {
    case TraceEnd::Reached: return "reached";
    case TraceEnd::Refused: return "refused";
    case TraceEnd::Silence: return "silence";
    case TraceEnd::MaxHops: return "max-hops";
    case TraceEnd::Stopped: return "stopped";
    case TraceEnd::NotTraced: return "not-traced";
  }
  return "?";
}

nlohmann::ordered_json traceJson(const TraceRequest& request, const TraceResult& result) {
  json types = json::array();
  for (const TypeTrace& type : result.types) {
    const ProtocolType& t = typeAt(type.typeIndex);
    json entry = {{"type", t.text},
                  {"short_name", t.shortName},
                  {"index", type.typeIndex},
                  {"protocol", t.number},
                  {"end", traceEndName(type.end)},
                  {"reason_code", textOrNull(type.notTracedCode)},
                  {"reason", textOrNull(type.notTraced)}};
    if (!type.traced()) {
      entry["trace"] = nullptr;
      types.push_back(entry);
      continue;
    }
    json hops = json::array();
    for (const TraceHop& hop : type.hops) {
      hops.push_back({{"hop", hop.hop},
                      {"address", hop.address ? json(hop.address->text()) : json(nullptr)},
                      {"rtt_us", hop.rttUs ? json(*hop.rttUs) : json(nullptr)},
                      {"said", textOrNull(hop.said)}});
    }
    const TraceHop* last = type.lastAnswered();
    const char* stopped = type.end == TraceEnd::Silence ? "silence" : type.end == TraceEnd::Refused ? "refused" : nullptr;
    entry["trace"] = {{"reached", type.reached()},
                      {"last_hop", last ? json(last->hop) : json(nullptr)},
                      {"last_address", last && last->address ? json(last->address->text()) : json(nullptr)},
                      {"stopped", stopped ? json(stopped) : json(nullptr)},
                      {"refused_with", textOrNull(type.refusedWith())},
                      {"hops", hops}};
    types.push_back(entry);
  }
  return {{"kind", "trace"},
          {"parameters",
           {{"address", request.address},
            {"max_hops", request.maxHops},
            {"probes", request.probesPerHop},
            {"timeout_ms", request.waitMs},
            {"size", request.size}}},
          {"started", result.started},
          {"failure", textOrNull(result.failure)},
          {"server", result.started ? json(result.server.text()) : json(nullptr)},
          {"hop_rounds", result.hopRounds},
          {"types", types},
          {"exit_status", result.exitStatus()}};
}

}  // namespace connchk::client
