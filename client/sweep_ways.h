// One sweep through several ways out (--via): every type through each way in turn, then one matrix
// with a column per way, the types whose verdict differs between the ways marked. It answers
// "which traffic does the tunnel break" in one look.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "client/sweep.h"
#include "common/platform/way_out.h"

namespace connchk::client {

struct WaySweep {
  platform::WayOut way;
  SweepResult result;
};

struct ComparedSweep {
  std::vector<WaySweep> ways;

  // Whether the type in `row` (the same row of every way) was judged differently by the ways that
  // ran it; a type not run through a way says nothing about that way.
  bool differs(std::size_t row) const;
  // As for one sweep, over the rows of every way: 0 when none failed and one passed, 1 when one
  // failed, 2 when no way could start or no type could run.
  int exitStatus() const;
};

// `plan` through one way out. An address way sends in its own family: the server's name is looked
// up in it where no family was forced.
SweepPlan planThroughWay(const SweepPlan& plan, const platform::WayOut& way);

// Runs `plan` through each of `ways` in turn with the one `sweep` (whose Stop ends them all). Each
// way's types are reported through `progress` as they end, after `wayStarted` (its position in
// `ways`) has been called for the way.
ComparedSweep sweepThroughWays(Sweep& sweep, ActivityLog& log, const SweepPlan& plan,
                               const std::vector<platform::WayOut>& ways, const SweepProgress& progress = {},
                               const std::function<void(std::size_t way)>& wayStarted = {});

// One way's cell of the compared matrix: "пройден, 0.412 мс", "не пройден" or "не проверен".
std::string comparedCellText(const SweepRow& row);

// "Сравнение путей по типам протоколов:", a header with a column per way, one line per type
// (its verdict through each way, "различается" where they differ), and the count of those.
std::vector<std::string> comparedMatrixLines(const ComparedSweep& compared);

// The sweep document with "ways": [{"via": label, "types": [...], ...}, ...] and the short names of
// the types that differ.
nlohmann::ordered_json comparedSweepJson(const RunRequest& request, const ComparedSweep& compared);

inline constexpr const char* DiffersText = "различается";

}  // namespace connchk::client
