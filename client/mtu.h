// How big a request each protocol type carries to the server with fragmentation forbidden on the
// way (DF set over IPv4; IPv6 never fragments on the way), and what the path says about it: the
// largest request answered, the IP packet it makes, the MTU a hop reported and who reported it,
// and whether larger packets are refused with a word or vanish without one (a black hole).
// Every type is measured at once, each on sockets of its own; a front-end runs the check on a
// thread of its own and shows the rows, without knowing how a row was measured.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "client/mtu_search.h"
#include "common/activity_log.h"
#include "common/platform/address.h"
#include "common/platform/wait.h"
#include "common/platform/way_out.h"

namespace connchk::client {

inline constexpr std::uint32_t MtuDefaultLargestSize = 1500;
inline constexpr std::uint32_t MtuMaxSize = 65000;  // -s with --mtu: the largest size it may try
inline constexpr int MtuDefaultTimeoutMs = 1000;    // the wait of one try where -W is not given

struct MtuPlan {
  std::string address;
  platform::FamilyChoice family = platform::FamilyChoice::Any;
  std::vector<int> types;  // catalogue indices in the order to show; empty: every type
  std::uint32_t largestSize = MtuDefaultLargestSize;  // the top of the search
  int timeoutMs = MtuDefaultTimeoutMs;                // the wait of one try
  platform::WayOut way;                               // -I
  std::uint32_t terminal = 1;                         // -t: the terminal number of TELM-UDP's request
};

enum class MtuVerdict {
  Honest,     // larger packets are refused with a word from the path (or this host's own link)
  BlackHole,  // larger packets vanish without a word
  NoLimit,    // the largest size tried was answered
  NoAnswer,   // not even the smallest size was answered
  NotRun,     // the type could not be measured here (reason says why)
};
const char* mtuVerdictName(MtuVerdict verdict);  // "honest", "black-hole", "no-limit", "no-answer", "not-run"

// What one type's search found, as plain data: what the terminal, JSON, the sweep's matrix and the
// window show.
struct MtuRow {
  int typeIndex = 0;
  MtuVerdict verdict = MtuVerdict::NotRun;
  std::string reason;                    // for NotRun, in Russian
  std::optional<std::uint32_t> largest;  // the largest request answered (TCP: the segment that carried it)
  std::optional<int> pathMtu;            // the IP packet that request makes
  std::optional<int> reportedMtu;        // the smallest MTU the path named (a hop, or this host's link)
  std::string reportedBy;                // the hop's address, "local" for this host's link, empty: none
  std::optional<int> kernelPathMtu;      // the path MTU the system holds for the server afterwards
  int tries = 0;                         // requests sent
};

// A type's verdict and figures from its search. `packetBytes` turns a request size into the IP
// packet it makes; `carried` is what TCP sent of the largest size asked for (the segment its own
// path MTU discovery chose), nullopt for the datagram types.
struct MtuFigures {
  std::uint32_t overhead = 0;              // IP and transport headers of a request (TCP: and its options)
  std::optional<std::uint32_t> carried;    // TCP: the data of the segment that carried the largest size
  std::uint32_t optionBytes = 0;           // TCP: the options each segment carries beside its data
  std::string peer;                        // TCP: the server, whose MSS may cut the segment down
  std::optional<int> kernelPathMtu;
};
MtuRow judgeMtu(int typeIndex, const MtuSearchResult& found, const MtuFigures& figures);

struct MtuResult {
  bool started = false;  // false: the address could not be resolved or was refused
  std::string failure;
  std::vector<MtuRow> rows;
  // 0 when every type measured found its limit honestly or met none, 1 when one is a black hole or
  // got no answer, 2 when the check could not start or no type could be measured.
  int exitStatus() const;
};

// Called on a measuring thread (one call at a time) when a type's row is final.
using MtuProgress = std::function<void(const MtuRow& row)>;

class MtuCheck {
 public:
  explicit MtuCheck(ActivityLog& log) : log_(log) {}

  // Measures the plan's types, all at once, and logs the table; blocks.
  MtuResult run(const MtuPlan& plan, const MtuProgress& progress = {});

  // From any thread: every type ends with what it has found within one short wait.
  void stop() { stop_.signal(); }

 private:
  ActivityLog& log_;
  platform::StopEvent stop_;
};

// The table, a title, a header, then one line per type.
std::vector<std::string> mtuTableLines(const std::vector<MtuRow>& rows);

// {"largest", "path_mtu", "reported_mtu", "reported_by", "black_hole"}, or null for a type not run.
nlohmann::ordered_json mtuFindingJson(const MtuRow& row);
// {"kind": "mtu", "parameters": ..., "types": [{"short_name", "mtu": {...}, ...}, ...]}.
nlohmann::ordered_json mtuJson(const MtuPlan& plan, const MtuResult& result);

// The cell a sweep shows for a row: "1400" (path MTU), "1400 ЧД" for a black hole, "-".
std::string mtuCellText(const MtuRow& row);
// The row's verdict in words: "путь сообщает MTU", "чёрная дыра MTU", ..., "не измерен: ...".
std::string mtuVerdictText(const MtuRow& row);

}  // namespace connchk::client
