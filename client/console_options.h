// The client's command line, read with CLI11.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "client/run_parameters.h"

namespace connchk::client {

inline constexpr int MinIntervalMs = 200;
inline constexpr int MinTimeoutMs = 100;
inline constexpr int MaxSecondsOption = 3600;  // the longest -i and -W

struct ClientOptions {
  RunRequest request;
  bool console = false;        // --console: terminal mode even where a window could open
  std::string logDirectory;    // --log-dir: the log file's folder; empty: beside the executable
  bool listProtocols = false;
  bool help = false;
  bool version = false;
  bool quiet = false;          // -q: the summary (or the sweep's matrix) only
  bool json = false;           // --json: one JSON document on stdout
  bool sweep = false;          // --sweep: every type (or those of -p) one after another
  std::vector<int> sweepTypes; // catalogue indices given with -p for a sweep or a trace; empty: all
  std::vector<platform::WayOut> vias;  // --via: the sweep runs through each way, side by side
  std::string exporterListen;  // --exporter [ADDRESS:]PORT: the probe exporter; empty: not it
  std::vector<platform::LabelledWay> exporterWays;  // --exporter --via [LABEL=]WAY: what via= may name
  bool allowAnyVia = false;    // --exporter --allow-via: via= may name any interface or address here
  bool trace = false;          // --trace: where each type stops, hop by hop
  int maxHops = 30;            // --max-hops: the highest TTL a trace sends
  int probes = 2;              // --probes: probes per hop and type
  bool mtu = false;            // --mtu: the largest request each type carries
  std::uint32_t mtuLargestSize = 1500;  // -s with --mtu: the top of its search
  int mtuTimeoutMs = 1000;              // -W with --mtu: the wait of one try

  // --json, --quiet, --sweep, --trace and --mtu are for the terminal: they imply --console.
  bool terminalMode() const { return console || quiet || json || sweep || trace || mtu; }
};

struct ClientOptionsParse {
  std::optional<ClientOptions> options;
  std::string error;  // names the option and what it allows, when options is empty
};

ClientOptionsParse parseClientOptions(const std::vector<std::string>& args);

// Whether the ways out the options name (-I, --via) can be taken on this host now: empty when
// they can, otherwise the refusal, naming the option. Looked at before anything is sent.
std::string wayOutRefusal(const ClientOptions& options);

// Seconds as an operator types them ("0.2", "5", "1.5") to milliseconds, within low..high ms.
std::optional<int> parseSeconds(const std::string& text, int lowMs, int highMs);

// A percentage as typed ("10", "2.5"), 0 to 100: digits with at most one point.
std::optional<double> parsePercent(const std::string& text);

std::string clientUsage();
std::string protocolListing();

inline constexpr const char* ClientVersionText = "client Version 1.0";

}  // namespace connchk::client
