// What an operator reads at the end of a run or a sweep: the summary lines, the sweep's matrix,
// and the same figures as JSON for scripts.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "client/run_control.h"
#include "client/run_outcome.h"
#include "client/run_parameters.h"
#include "common/activity_log.h"
#include "common/text_format.h"

namespace connchk::client {

struct SweepRow;
struct SweepResult;

// "Итого: отослано 5, получено 4, потеряно 20%", and when an answer came
// "Время приема-передачи мин/сред/макс/откл: 0.123/0.456/0.789/0.050 мс". Nothing for a run
// that ended before its first round.
std::vector<std::string> summaryLines(const RunOutcome& outcome);

// The client's exit status for a run, as its judgement gives it: 0 passed (with loss or without),
// 1 a fault of the path (no answer, refused, reset, unreachable, too much loss), 2 a fault of this
// host (rights, resolution, its own sockets).
int runExitStatus(const RunOutcome& outcome);

// Logs the summary lines of a run that has just ended.
void logRunSummary(ActivityLog& log, const RunOutcome& outcome);

// The same lines from the figures of a run still going on (nothing before its first round).
std::vector<std::string> summaryLines(const RunSummary& figures, bool stopped);

// `events` with the summary logged at the end of every run, before `ended` is told.
RunEvents withLoggedSummary(ActivityLog& log, RunEvents events);

using connchk::millisecondsText;  // common/text_format.h

// Loss in percent with at most one decimal: "0", "33.3", "100".
std::string lossText(double percent);

// The sweep's matrix, a header then one line per type, columns padded for a fixed-width font.
std::vector<std::string> sweepMatrixLines(const std::vector<SweepRow>& rows);

// The lines of a table whose columns line up on a terminal (widths counted in characters, two
// blanks apart); each row's last cell is left as it is.
std::vector<std::string> alignedRows(const std::vector<std::vector<std::string>>& rows);

// Logs the matrix of a sweep that has ended (nothing for one that could not start).
void logSweepMatrix(ActivityLog& log, const SweepResult& result);

// One run as JSON: the parameters, every round, the summary with the verdict and its reason, and
// the line that told why the run could not start.
nlohmann::ordered_json runJson(const RunRequest& request, const RunOutcome& outcome);

// A sweep as JSON: the parameters and one entry per type with its verdict, figures and rounds.
nlohmann::ordered_json sweepJson(const RunRequest& request, const SweepResult& result);

// Microseconds since 1970 as "2024-05-01T09:05:07.123456Z".
std::string utcTimeText(std::int64_t unixMicroseconds);

}  // namespace connchk::client
