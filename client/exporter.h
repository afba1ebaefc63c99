// The probe exporter: `client --exporter [ADDRESS:]PORT` answers Prometheus' scrapes of
// /probe?target=HOST&protocol=TYPE[&count=N][&size=N][&terminal=N] by running that check at once
// and giving its figures (success, duration, sent, answered, loss, round trips) in the Prometheus
// text format; /metrics gives the exporter's own. Each probe is a run of its own (its own sockets,
// worker thread and stop flag), so probes run side by side; the terminal exchange, which needs
// UDP port 855 of this host, is taken by one probe at a time.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <prometheus/metric_family.h>

#include "client/run_outcome.h"
#include "common/platform/address.h"
#include "common/activity_log.h"

namespace connchk::client {

inline constexpr int DefaultProbeCount = 3;
inline constexpr int MaxProbeCount = 20;
inline constexpr int ProbeIntervalMs = 200;        // the pause between a probe's rounds
inline constexpr int MinProbeAnswerTimeoutMs = 100;
inline constexpr int MaxProbeAnswerTimeoutMs = 5000;
inline constexpr int DefaultProbeBudgetMs = 9000;  // without a scrape time-out to go by

struct ProbeQuery {
  std::string target;
  int protocolIndex = 0;  // in ProtocolCatalogue()
  int count = DefaultProbeCount;
  std::uint32_t size = 32;
  std::uint32_t terminal = 1;
  platform::FamilyChoice family = platform::FamilyChoice::Any;  // family=ipv4|ipv6 (or 4|6)
};

struct ProbeQueryParse {
  std::optional<ProbeQuery> query;
  std::string error;  // what is wrong with the query, for a 400 answer
};

// Reads the query part of a /probe URL (after '?', still URL-encoded).
ProbeQueryParse parseProbeQuery(const std::string& queryString);

// The time a probe may take: the scrape's time-out (Prometheus sends it with every scrape, in
// seconds) less half a second for the answer's way back, at most 60 s; 9 s without one.
std::chrono::milliseconds probeBudget(const char* scrapeTimeoutHeader);

// The wait for each answer that lets `count` rounds, with their pauses, end within `budget`: at
// most the usual 5 s, nullopt when less than 0.1 s would be left.
std::optional<int> answerTimeoutWithin(std::chrono::milliseconds budget, int count);

// What one probe found.
struct ProbeResult {
  RunOutcome outcome;
  bool started = true;   // false when the check could not start here (or port 855 stayed busy)
  double durationSeconds = 0;
};

// The /probe answer's metric families.
std::vector<prometheus::MetricFamily> probeMetrics(const ProbeResult& result);

class ProbeExporter {
 public:
  // Probe runs write to `log`, which must outlive the exporter.
  explicit ProbeExporter(ActivityLog& log);
  // Stops the probes in progress and waits for them.
  ~ProbeExporter();
  ProbeExporter(const ProbeExporter&) = delete;
  ProbeExporter& operator=(const ProbeExporter&) = delete;

  // Starts serving on "[ADDRESS:]PORT"; false with the reason in `error`.
  bool listen(const std::string& listenText, std::string& error);
  int port() const;

 private:
  class State;
  std::unique_ptr<State> state_;
};

// `--exporter` among the program's arguments: nullopt when it is not there; otherwise the listen
// text, or an error when it lacks its value or comes with other options.
struct ExporterArgument {
  std::string listenText;
  std::string error;
};
std::optional<ExporterArgument> findExporterArgument(const std::vector<std::string>& args);

// The exporter's terminal mode: serves until Ctrl-C or a termination request (exit status 0);
// 2 when it cannot listen.
int runProbeExporter(const std::string& listenText);

}  // namespace connchk::client
