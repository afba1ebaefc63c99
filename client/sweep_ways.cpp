#include "client/sweep_ways.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "client/protocol_catalogue.h"
#include "client/report.h"
#include "common/text_format.h"

namespace connchk::client {

namespace {

using json = nlohmann::ordered_json;

std::string padded(const std::string& text, std::size_t width) {
  const std::size_t shown = characterCount(text);
  return text + std::string(shown < width ? width - shown + 2 : 2, ' ');
}

// The way's label in the matrix and the JSON: what the operator typed.
std::string label(const platform::WayOut& way) { return way.name; }

}  // namespace

// The verdict, and the median round trip where answers came.
std::string comparedCellText(const SweepRow& row) {
  switch (row.verdict) {
    case Verdict::Pass: return "пройден, " + millisecondsText(row.summary.medianUs) + " мс";
    case Verdict::Loss: return "пройдена с потерями, " + millisecondsText(row.summary.medianUs) + " мс";
    case Verdict::Fail: return "не пройден";
    case Verdict::NotRun: return "не проверен";
  }
  return {};
}

bool ComparedSweep::differs(std::size_t row) const {
  const SweepRow* first = nullptr;
  for (const WaySweep& way : ways) {
    if (row >= way.result.rows.size()) continue;
    const SweepRow& r = way.result.rows[row];
    if (r.verdict == Verdict::NotRun) continue;
    if (first && first->verdict != r.verdict) return true;
    if (!first) first = &r;
  }
  return false;
}

int ComparedSweep::exitStatus() const {
  SweepResult all;
  for (const WaySweep& way : ways) {
    all.started = all.started || way.result.started;
    all.rows.insert(all.rows.end(), way.result.rows.begin(), way.result.rows.end());
  }
  return all.exitStatus();
}

SweepPlan planThroughWay(const SweepPlan& plan, const platform::WayOut& way) {
  SweepPlan through = plan;
  through.request.way = way;
  if (way.kind == platform::WayOut::Kind::Address && through.request.family == platform::FamilyChoice::Any) {
    through.request.family = way.address.family() == platform::Family::IPv4 ? platform::FamilyChoice::IPv4
                                                                             : platform::FamilyChoice::IPv6;
  }
  return through;
}

ComparedSweep sweepThroughWays(Sweep& sweep, ActivityLog& log, const SweepPlan& plan,
                               const std::vector<platform::WayOut>& ways, const SweepProgress& progress,
                               const std::function<void(std::size_t way)>& wayStarted) {
  ComparedSweep compared;
  for (const platform::WayOut& way : ways) {
    if (wayStarted) wayStarted(compared.ways.size());
    log.log(format("Проверка типов%s", platform::wayOutPhrase(way).c_str()));
    compared.ways.push_back(WaySweep{way, sweep.run(planThroughWay(plan, way), progress)});
    logSweepMatrix(log, compared.ways.back().result);
  }
  for (const std::string& line : comparedMatrixLines(compared)) log.log(line);
  return compared;
}

std::vector<std::string> comparedMatrixLines(const ComparedSweep& compared) {
  const auto catalogue = ProtocolCatalogue();
  std::vector<std::string> header = {"Тип протокола", "№"};
  for (const WaySweep& way : compared.ways) header.push_back(label(way.way));
  std::size_t rowCount = 0;
  for (const WaySweep& way : compared.ways) rowCount = std::max(rowCount, way.result.rows.size());

  std::vector<std::vector<std::string>> cells;
  for (std::size_t i = 0; i < rowCount; ++i) {
    std::vector<std::string> line;
    for (const WaySweep& way : compared.ways) {
      if (i >= way.result.rows.size()) {
        line.push_back("-");
        continue;
      }
      const SweepRow& row = way.result.rows[i];
      if (line.empty()) {
        const ProtocolType& type = catalogue[static_cast<std::size_t>(row.typeIndex)];
        line = {type.text, format("%u", type.number)};
      }
      line.push_back(comparedCellText(row));
    }
    cells.push_back(std::move(line));
  }
  std::vector<std::size_t> widths;
  for (const std::string& title : header) widths.push_back(characterCount(title));
  for (const auto& line : cells) {
    for (std::size_t i = 0; i < line.size() && i < widths.size(); ++i) {
      widths[i] = std::max(widths[i], characterCount(line[i]));
    }
  }
  const auto join = [&widths](const std::vector<std::string>& line, const std::string& last) {
    std::string out;
    for (std::size_t i = 0; i < line.size() && i < widths.size(); ++i) out += padded(line[i], widths[i]);
    out += last;
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
  };

  std::vector<std::string> lines{"Сравнение путей по типам протоколов:", join(header, "")};
  int differing = 0;
  for (std::size_t i = 0; i < cells.size(); ++i) {
    const bool differs = compared.differs(i);
    differing += differs ? 1 : 0;
    lines.push_back(join(cells[i], differs ? DiffersText : ""));
  }
  lines.push_back(format("Итог различается у типов: %d", differing));
  return lines;
}

json comparedSweepJson(const RunRequest& request, const ComparedSweep& compared) {
  const auto catalogue = ProtocolCatalogue();
  json ways = json::array();
  bool started = false;
  std::string failure;
  for (const WaySweep& way : compared.ways) {
    RunRequest through = request;
    through.way = way.way;
    // One way's document, of which its own part is kept.
    const json one = sweepJson(through, way.result);
    ways.push_back({{"via", label(way.way)},
                    {"started", one["started"]},
                    {"failure", one["failure"]},
                    {"types", one["types"]},
                    {"passed", one["passed"]},
                    {"failed", one["failed"]},
                    {"not_run", one["not_run"]}});
    started = started || way.result.started;
    if (failure.empty()) failure = way.result.failure;
  }
  json differing = json::array();
  if (!compared.ways.empty()) {
    const auto& rows = compared.ways.front().result.rows;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      if (compared.differs(i)) differing.push_back(catalogue[static_cast<std::size_t>(rows[i].typeIndex)].shortName);
    }
  }
  json document = sweepJson(request, SweepResult{});
  return {{"kind", "sweep"},
          {"parameters", document["parameters"]},
          {"started", started},
          {"failure", started || failure.empty() ? json(nullptr) : json(failure)},
          {"ways", ways},
          {"differing", differing},
          {"exit_status", compared.exitStatus()}};
}

}  // namespace connchk::client
