// What an operator reads at the end of a run or a sweep: the summary lines, the sweep's matrix,
// and the same figures as JSON for scripts.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "client/run_outcome.h"
#include "client/run_parameters.h"
#include "common/activity_log.h"

namespace connchk::client {

struct SweepRow;
struct SweepResult;

// "Итого: отослано 5, получено 4, потеряно 20%", and when an answer came
// "Время приема-передачи мин/сред/макс/откл: 0.123/0.456/0.789/0.050 мс". Nothing for a run
// that ended before its first round.
std::vector<std::string> summaryLines(const RunOutcome& outcome);

// The client's exit status for a run: 0 when an answer was accepted, 1 when none was, 2 when the
// run could not start.
int runExitStatus(const RunOutcome& outcome);

// Logs the summary lines of a run that has just ended.
void logRunSummary(ActivityLog& log, const RunOutcome& outcome);

// Microseconds as milliseconds with three decimals: 1234 -> "1.234".
std::string millisecondsText(std::int64_t microseconds);

// Loss in percent with at most one decimal: "0", "33.3", "100".
std::string lossText(double percent);

// The characters of a UTF-8 text as a terminal shows them, and the text padded to `width` of them
// and two blanks (a column of a table).
std::size_t displayWidth(const std::string& text);
std::string padded(const std::string& text, std::size_t width);

// The sweep's matrix, a header then one line per type, columns padded for a fixed-width font.
std::vector<std::string> sweepMatrixLines(const std::vector<SweepRow>& rows);

// One run as JSON: the parameters, every round, the summary. `failure` is the line that told why
// the run could not start (empty otherwise).
nlohmann::ordered_json runJson(const RunRequest& request, const RunOutcome& outcome, const std::string& failure);

// A sweep as JSON: the parameters and one entry per type with its verdict, figures and rounds.
nlohmann::ordered_json sweepJson(const RunRequest& request, const SweepResult& result);

// Microseconds since 1970 as "2024-05-01T09:05:07.123456Z".
std::string utcTimeText(std::int64_t unixMicroseconds);

}  // namespace connchk::client
