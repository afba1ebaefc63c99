#include "client/report.h"

#include <algorithm>
#include <cstdlib>

#include "client/account.h"
#include "client/protocol_catalogue.h"
#include "client/sweep.h"
#include "common/text_format.h"

namespace connchk::client {

namespace {

// The padding of the matrix counts characters, not bytes: what a terminal shows.
std::string padded(const std::string& text, std::size_t width) {
  const std::size_t shown = utf8Characters(text);
  return text + std::string(shown < width ? width - shown + 2 : 2, ' ');
}

std::string verdictText(const SweepRow& row) {
  switch (row.verdict) {
    case Verdict::Pass: return "пройден";
    case Verdict::Loss: return "пройдена с потерями";
    case Verdict::Fail: return "не пройден: " + row.reason;
    case Verdict::NotRun: return "не проверен: " + row.reason;
  }
  return {};
}

}  // namespace

std::string lossText(double percent) {
  std::string text = format("%.1f", percent);
  if (text.size() > 2 && text.compare(text.size() - 2, 2, ".0") == 0) text.resize(text.size() - 2);
  return text;
}

int runExitStatus(const RunOutcome& outcome) { return outcome.judgement.exitStatus; }

std::vector<std::string> summaryLines(const RunOutcome& outcome) {
  if (outcome.startFailed || (outcome.rounds.empty() && outcome.requestsSent == 0)) return {};
  std::vector<std::string> lines = summaryLines(summarize(outcome), outcome.stopped);
  for (std::string& line : accountLines(outcome.account)) lines.push_back(std::move(line));
  return lines;
}

std::vector<std::string> summaryLines(const RunSummary& s, bool stopped) {
  std::vector<std::string> lines;
  // As ping says it: duplicates beside the answers, loss counted without them.
  std::string extra;
  if (s.duplicates > 0) extra += format(", +%d дубликатов", s.duplicates);
  if (s.lateAnswers > 0) extra += format(", поздних ответов %d", s.lateAnswers);
  lines.push_back(format("Итого: отослано %d, получено %d%s, потеряно %s%%%s", s.sent, s.answered, extra.c_str(),
                         lossText(s.lossPercent).c_str(), stopped ? " (проверка остановлена)" : ""));
  if (s.answered > 0) {
    lines.push_back("Время приема-передачи мин/сред/макс/откл: " + millisecondsText(s.minUs) + "/" +
                    millisecondsText(s.avgUs) + "/" + millisecondsText(s.maxUs) + "/" +
                    millisecondsText(s.mdevUs) + " мс");
    lines.push_back("Процентили p50/p95/p99: " + millisecondsText(s.medianUs) + "/" + millisecondsText(s.p95Us) + "/" +
                    millisecondsText(s.p99Us) + " мс, джиттер " + millisecondsText(s.jitterUs) + " мс");
  }
  if (s.tcpRetransmissions > 0) lines.push_back(format("Повторных передач TCP: %d", s.tcpRetransmissions));
  return lines;
}

void logRunSummary(ActivityLog& log, const RunOutcome& outcome) {
  for (const std::string& line : summaryLines(outcome)) log.log(line);
}

RunEvents withLoggedSummary(ActivityLog& log, RunEvents events) {
  events.ended = [&log, ended = std::move(events.ended)](const RunOutcome& outcome) {
    logRunSummary(log, outcome);  // the last of the run's lines, before anyone hears of its end
    if (ended) ended(outcome);
  };
  return events;
}

// "3 192.0.2.1" (the hop and its address, "*" after the server's answer), "-" when none answered
// or the type was not traced.
static std::string lastHopText(const std::optional<TypeTrace>& trace) {
  const TraceHop* last = trace ? trace->lastAnswered() : nullptr;
  if (!last) return "-";
  return format("%d %s%s", last->hop, last->address ? last->address->text().c_str() : "?", trace->reached() ? " *" : "");
}

std::vector<std::string> alignedRows(const std::vector<std::vector<std::string>>& rows) {
  std::vector<std::size_t> widths;
  for (const auto& row : rows) {
    if (widths.size() < row.size()) widths.resize(row.size(), 0);
    for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], utf8Characters(row[i]));
  }
  std::vector<std::string> lines;
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t i = 0; i + 1 < row.size(); ++i) line += padded(row[i], widths[i]);
    if (!row.empty()) line += row.back();
    lines.push_back(std::move(line));
  }
  return lines;
}

std::vector<std::string> sweepMatrixLines(const std::vector<SweepRow>& rows) {
  const auto catalogue = ProtocolCatalogue();
  std::vector<std::string> header = {"Тип протокола", "№",      "Отослано",        "Получено",
                                    "Потери",        "Медиана, мс", "Туда / обратно"};
  const bool traced = std::any_of(rows.begin(), rows.end(), [](const SweepRow& r) { return r.trace.has_value(); });
  if (traced) header.push_back("Последний узел");
  const bool measured = std::any_of(rows.begin(), rows.end(), [](const SweepRow& r) { return r.mtu.has_value(); });
  if (measured) header.push_back("MTU");
  std::vector<std::vector<std::string>> cells;
  for (const SweepRow& row : rows) {
    const ProtocolType& type = catalogue[static_cast<std::size_t>(row.typeIndex)];
    const bool ran = row.verdict != Verdict::NotRun || row.outcome.requestsSent > 0;
    const bool timed = row.summary.answered > 0;
    cells.push_back({type.text, format("%u", type.number), ran ? format("%d", row.summary.sent) : "-",
                     ran ? format("%d", row.summary.answered) : "-",
                     ran ? lossText(row.summary.lossPercent) + "%" : "-",
                     timed ? millisecondsText(row.summary.medianUs) : "-", accountLossCell(row.outcome.account)});
    if (traced) cells.back().push_back(lastHopText(row.trace));
    if (measured) cells.back().push_back(row.mtu ? mtuCellText(*row.mtu) : "-");
  }
  header.push_back("Итог");
  for (std::size_t i = 0; i < rows.size(); ++i) cells[i].push_back(verdictText(rows[i]));
  cells.insert(cells.begin(), header);
  std::vector<std::string> lines{"Итоги проверки по типам протоколов:"};
  for (std::string& line : alignedRows(cells)) lines.push_back(std::move(line));
  int passed = 0, withLoss = 0, failed = 0, notRun = 0;
  for (const SweepRow& row : rows) {
    switch (row.verdict) {
      case Verdict::Loss: ++withLoss; [[fallthrough]];
      case Verdict::Pass: ++passed; break;
      case Verdict::Fail: ++failed; break;
      case Verdict::NotRun: ++notRun; break;
    }
  }
  const std::string lossNote = withLoss > 0 ? format(" (с потерями %d)", withLoss) : std::string();
  lines.push_back(format("Пройдено %d%s, не пройдено %d, не проверено %d", passed, lossNote.c_str(), failed, notRun));
  return lines;
}

}  // namespace connchk::client

namespace connchk::client {

void logSweepMatrix(ActivityLog& log, const SweepResult& result) {
  if (!result.started) return;
  for (const std::string& line : sweepMatrixLines(result.rows)) log.log(line);
}

}  // namespace connchk::client
