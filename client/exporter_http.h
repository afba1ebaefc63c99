// The exporter's web side: civetweb serving /probe (one probe per request, run while the request
// waits) and /metrics (the exporter's own figures).
#pragma once

#include <memory>
#include <string>

#include "client/exporter_query.h"
#include "common/activity_log.h"
#include "common/platform/result.h"

namespace connchk::client {

class ProbeExporter {
 public:
  // Probe runs write to `log`, which must outlive the exporter.
  explicit ProbeExporter(ActivityLog& log, ProbeWays ways = {});
  // Stops the probes in progress and waits for them.
  ~ProbeExporter();
  ProbeExporter(const ProbeExporter&) = delete;
  ProbeExporter& operator=(const ProbeExporter&) = delete;

  // Starts serving on "[ADDRESS:]PORT"; false with the reason in `error`.
  platform::Status listen(const std::string& listenText);
  // Stops the probes in progress and waits until each has answered; probe requests from now on
  // are answered 503. The web server goes on (the destructor closes it).
  void stopProbes();
  int port() const;

 private:
  class State;
  std::unique_ptr<State> state_;
};

}  // namespace connchk::client
