// What the exporter answers: the figures of one probe (/probe) and its own counters (/metrics),
// as prometheus-cpp metric families.
#pragma once

#include <vector>

#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/metric_family.h>
#include <prometheus/registry.h>

#include "client/exporter_probe.h"
#include "common/activity_log.h"

namespace connchk::client {

// The /probe answer's metric families.
std::vector<prometheus::MetricFamily> probeMetrics(const ProbeResult& result);

// The exporter's own figures: probes by protocol and verdict, the requests and answers of all
// probes, queries refused, probes dropped because their scraper left, probes running now.
class ExporterMetrics {
 public:
  ExporterMetrics();

  // A probe that ended; `shortName` is its protocol's. Its requests and answers count even when
  // it was dropped (the server saw them), its verdict only when it was answered.
  void probeEnded(const char* shortName, const ProbeResult& result);
  void queryRejected() { rejected_.Increment(); }
  prometheus::Gauge& inProgress() { return inProgress_; }

  // Every family for a scrape of /metrics, with the log's lost lines.
  std::vector<prometheus::MetricFamily> collect(const ActivityLog& log);

 private:
  prometheus::Registry registry_;
  prometheus::Family<prometheus::Counter>& probes_;
  prometheus::Family<prometheus::Counter>& sent_;
  prometheus::Family<prometheus::Counter>& answered_;
  prometheus::Family<prometheus::Counter>& dropped_;
  prometheus::Counter& rejected_;
  prometheus::Gauge& inProgress_;
};

}  // namespace connchk::client
