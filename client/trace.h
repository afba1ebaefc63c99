// Where each type of traffic stops: every chosen type sends its own first request with TTL (hop
// limit) 1, 2, 3 ... towards the server, all types at once on their own sockets, and collects what
// comes back: the ICMP errors the routers send (time exceeded, unreachable), matched to their
// probe only by what they quote, or the server's own answer. A type's trace ends at the server's
// answer, at a refusal, or after three silent hops past the last one that answered.
//
// Errors are read from each probe socket's error queue (IP_RECVERR / IPV6_RECVERR), which needs no
// right: UDP and TCP are traced by any user; raw IP needs the raw-socket right, ICMP that right or
// the user's group in ping_group_range, and TELM-UDP this host's port 855. A type that cannot be
// traced says why and the others go on.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/platform/address.h"
#include "common/platform/icmp_errors.h"
#include "common/platform/wait.h"
#include "common/platform/way_out.h"

namespace connchk::client {

inline constexpr int DefaultMaxHops = 30;
inline constexpr int MostHops = 255;
inline constexpr int DefaultProbesPerHop = 2;
inline constexpr int MostProbesPerHop = 10;
inline constexpr int SilentHopsToStop = 3;

struct TraceRequest {
  std::string address;
  platform::FamilyChoice family = platform::FamilyChoice::Any;
  std::vector<int> types;  // catalogue indices; empty: every type
  int maxHops = DefaultMaxHops;
  int probesPerHop = DefaultProbesPerHop;
  int waitMs = 5000;        // the longest wait for the answers of one hop
  std::uint32_t size = 32;  // requested packet size, as for a run
  std::uint32_t terminal = 1;
  platform::WayOut way;     // -I: the interface or address every probe leaves by (its TTL unused)
  // When the trace must have ended (a probe of the exporter); the unfinished types end as stopped.
  std::optional<std::chrono::steady_clock::time_point> deadline;
};

// What a probe can be known by in an error that quotes it.
struct ProbeIdentity {
  std::uint8_t protocol = 0;        // the IP protocol it was sent with (17, 6, P, 1 or 58)
  std::uint16_t sourcePort = 0;     // UDP and TCP
  platform::Address destination;    // the server, with the port for UDP and TCP
  std::uint64_t sendTime = 0;       // the send time its payload carries; 0 for TCP (no payload)
  std::optional<std::uint16_t> icmpIdentifier;  // ICMP echo
};

// True when `error` is about this probe: its destination, protocol and ports, its ICMP identifier,
// and its send time wherever the quote reaches it. A raw probe is known by its send time alone, so
// an error that does not quote it is no error about that probe.
bool quotesProbe(const platform::IcmpError& error, const ProbeIdentity& probe);

// What one hop said to one type.
enum class HopAnswer { Silent, TimeExceeded, ServerAnswer, Refused };

struct TraceHop {
  int hop = 0;
  HopAnswer answer = HopAnswer::Silent;
  std::optional<platform::Address> address;  // who answered
  std::optional<std::int64_t> rttUs;          // the quickest of its probes' answers
  std::string said;                           // in words; empty for a silent hop
};

enum class TraceEnd { Reached, Refused, Silence, MaxHops, Stopped, NotTraced };

struct TypeTrace {
  int typeIndex = 0;
  TraceEnd end = TraceEnd::NotTraced;
  std::string notTracedCode;  // ASCII, for scripts: "no-raw-right", "port-855-taken", ...
  std::string notTraced;      // why not, in words
  std::vector<TraceHop> hops;

  bool traced() const { return end != TraceEnd::NotTraced; }
  bool reached() const { return end == TraceEnd::Reached; }
  // The farthest hop that answered anything (the server's host when reached), or none.
  const TraceHop* lastAnswered() const;
  // The reason of the refusal that ended the trace; empty otherwise.
  std::string refusedWith() const;
};

struct TraceResult {
  bool started = false;
  std::string failure;  // why not, when not started
  platform::Address server;
  std::vector<TypeTrace> types;
  int hopRounds = 0;  // hops probed: one round sends every unfinished type's probes of one TTL
  // 0 when every traced type reached the server, 1 when one did not, 2 when the trace could not
  // start or no type could be traced.
  int exitStatus() const;
};

// Called on the tracing thread as each type's trace ends.
using TraceProgress = std::function<void(const TypeTrace& type)>;

class Tracer {
 public:
  // Runs the trace to its end; blocks. `say` gets the lines of the log (start, failures).
  TraceResult run(const TraceRequest& request, const std::function<void(const std::string&)>& say,
                  const TraceProgress& progress = {});
  // From any thread: the unfinished types end as stopped within one short wait.
  void stop() { stop_.signal(); }

 private:
  platform::StopEvent stop_;
};

// A verdict in words: "дошел до сервера на узле 3", "обрывается после узла 2 (203.0.113.2), дальше
// никто не отвечает", "отвергнут на узле 1 адресом 198.51.100.1: административно запрещено", ...
std::string traceVerdictText(const TypeTrace& type);

// The next probe's send time, which is its identity: each one later than the last in this
// process, whatever the clock does (trace and MTU probes of every type share it).
std::uint64_t nextSendTime();

}  // namespace connchk::client
