// The server's metrics endpoint: /metrics in the Prometheus text format, served by prometheus-cpp's
// Exposer. Every figure is read from the services' counters at the moment of the scrape; labels
// name services only (fifteen values), never senders.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <prometheus/metric_family.h>

#include "common/activity_log.h"
#include "common/platform/result.h"
#include "server/sender_statistics.h"
#include "server/service_counters.h"

namespace prometheus {
class Exposer;
}

namespace connchk::server {

// What a scrape reads. Each must live as long as the endpoint that watches it.
struct MetricsSources {
  const ServerCounters& counters;
  const SenderStatistics& statistics;
  const ActivityLog& log;
};

// The metric families of one scrape.
std::vector<prometheus::MetricFamily> collectServerMetrics(const MetricsSources& sources);

class MetricsEndpoint {
 public:
  // Listens on "[ADDRESS:]PORT" at once; nullptr with the reason in `error` when the text is
  // not such an address or the port cannot be had.
  static platform::Result<std::unique_ptr<MetricsEndpoint>> open(const std::string& listenText);
  ~MetricsEndpoint();

  // From now on scrapes read these (until then they give the build information alone).
  void watch(const MetricsSources& sources);
  // Scrapes give the build information alone again; call it before the sources go.
  void forget();

  int port() const;

 private:
  class Collector;
  MetricsEndpoint() = default;
  std::shared_ptr<Collector> collector_;
  std::unique_ptr<prometheus::Exposer> exposer_;
};

// Lets an endpoint (if any) read `sources` while the watch lasts; declared after the sources, so
// that scrapes stop reading them before they go.
class MetricsWatch {
 public:
  MetricsWatch(MetricsEndpoint* endpoint, const MetricsSources& sources) : endpoint_(endpoint) {
    if (endpoint_) endpoint_->watch(sources);
  }
  ~MetricsWatch() {
    if (endpoint_) endpoint_->forget();
  }
  MetricsWatch(const MetricsWatch&) = delete;
  MetricsWatch& operator=(const MetricsWatch&) = delete;

 private:
  MetricsEndpoint* endpoint_;
};

}  // namespace connchk::server
