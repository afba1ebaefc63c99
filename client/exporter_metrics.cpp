#include "client/exporter_metrics.h"

#include "client/protocol_catalogue.h"

namespace connchk::client {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

namespace {

constexpr const char* ExporterVersion = "1.0";

MetricFamily gaugeFamily(const char* name, const char* help, double value) {
  ClientMetric metric;
  metric.gauge.value = value;
  return MetricFamily{name, help, MetricType::Gauge, {metric}};
}

// The verdict as a label, and for a check that failed its reason's code.
MetricFamily verdictFamily(const Judgement& judgement) {
  ClientMetric metric;
  metric.label = {{"verdict", verdictName(judgement.verdict)}};
  if (!judgement.reason.empty()) metric.label.push_back({"reason", judgement.reason.code});
  metric.gauge.value = 1;
  return MetricFamily{"probe_verdict", "Always 1; the labels tell the verdict (pass, loss, fail) and why it failed.",
                      MetricType::Gauge, {metric}};
}

}  // namespace

std::vector<MetricFamily> probeMetrics(const ProbeResult& result) {
  const ProbeFigures figures = probeFigures(result);
  std::vector<MetricFamily> families{
      gaugeFamily("probe_success", "1 when the check passed (with loss or without).", figures.success ? 1 : 0),
      gaugeFamily("probe_duration_seconds", "How long the probe took, waiting for its turn included.",
                  result.durationSeconds),
      gaugeFamily("probe_start_failed",
                  "1 when nothing could be sent for a fault of this host: socket right, bind, unknown host, or "
                  "port 855 busy.",
                  figures.started ? 0 : 1),
      gaugeFamily("probe_requests_sent", "Requests sent.", figures.sent),
      gaugeFamily("probe_answers_received", "Answers accepted.", figures.answered),
  };
  if (figures.started) families.push_back(verdictFamily(figures.judgement));
  if (figures.lossRatio) {
    families.push_back(
        gaugeFamily("probe_loss_ratio", "Requests without an accepted answer, over those sent.", *figures.lossRatio));
  }
  if (figures.lostThere) {
    families.push_back(gaugeFamily("probe_lost_there",
                                   "Requests the server says it never received (lost on the way there).",
                                   *figures.lostThere));
    families.push_back(gaugeFamily("probe_lost_back",
                                   "Requests the server received whose answers never came (lost on the way back).",
                                   *figures.lostBack));
  }
  if (result.trace) {
    const TraceHop* last = result.trace->lastAnswered();
    families.push_back(gaugeFamily("probe_trace_last_hop",
                                   "The farthest hop that answered the trace (the server's when reached), 0 for none.",
                                   last ? last->hop : 0));
    families.push_back(
        gaugeFamily("probe_trace_reached", "1 when the trace reached the server.", result.trace->reached() ? 1 : 0));
  }
  if (const auto& trips = figures.roundTrips) {
    families.push_back(gaugeFamily("probe_rtt_min_seconds", "Shortest round trip.", trips->minSeconds));
    families.push_back(gaugeFamily("probe_rtt_avg_seconds", "Mean round trip.", trips->avgSeconds));
    families.push_back(gaugeFamily("probe_rtt_max_seconds", "Longest round trip.", trips->maxSeconds));
  }
  return families;
}

ExporterMetrics::ExporterMetrics()
    : probes_(prometheus::BuildCounter()
                  .Name("connchk_exporter_probes_total")
                  .Help("Probes answered, by protocol and result (success, failure, not-started).")
                  .Register(registry_)),
      sent_(prometheus::BuildCounter()
                .Name("connchk_exporter_requests_sent_total")
                .Help("Requests that probes sent, by protocol.")
                .Register(registry_)),
      answered_(prometheus::BuildCounter()
                    .Name("connchk_exporter_answers_received_total")
                    .Help("Answers that probes accepted, by protocol.")
                    .Register(registry_)),
      dropped_(prometheus::BuildCounter()
                   .Name("connchk_exporter_probes_dropped_total")
                   .Help("Probes stopped or never run because their scraper had closed its connection, by protocol.")
                   .Register(registry_)),
      rejected_(prometheus::BuildCounter()
                    .Name("connchk_exporter_queries_rejected_total")
                    .Help("Probe queries refused as malformed (HTTP 400).")
                    .Register(registry_)
                    .Add({})),
      inProgress_(prometheus::BuildGauge()
                      .Name("connchk_exporter_probes_in_progress")
                      .Help("Probes running now.")
                      .Register(registry_)
                      .Add({})) {
  // Every series exists from the start, so that rates and alerts see the first probe.
  for (const ProtocolType& type : ProtocolCatalogue()) {
    for (const char* result : {"success", "failure", "not-started"}) {
      probes_.Add({{"protocol", type.shortName}, {"result", result}});
    }
    sent_.Add({{"protocol", type.shortName}});
    answered_.Add({{"protocol", type.shortName}});
    dropped_.Add({{"protocol", type.shortName}});
  }
}

void ExporterMetrics::probeEnded(const char* shortName, const ProbeResult& result) {
  const ProbeFigures figures = probeFigures(result);
  sent_.Add({{"protocol", shortName}}).Increment(figures.sent);
  answered_.Add({{"protocol", shortName}}).Increment(figures.answered);
  if (result.dropped) {
    dropped_.Add({{"protocol", shortName}}).Increment();
  } else {
    probes_.Add({{"protocol", shortName}, {"result", figures.verdict}}).Increment();
  }
}

std::vector<MetricFamily> ExporterMetrics::collect(const ActivityLog& log) {
  std::vector<MetricFamily> families = registry_.Collect();
  ClientMetric lost;
  lost.counter.value = static_cast<double>(log.linesLost());
  families.push_back({"connchk_exporter_log_lines_lost_total", "Log lines that could not be written to the log file.",
                      MetricType::Counter, {lost}});
  ClientMetric build;
  build.label = {{"version", ExporterVersion}};
  build.gauge.value = 1;
  families.push_back({"connchk_exporter_build_info", "The client's version; always 1.", MetricType::Gauge, {build}});
  return families;
}

}  // namespace connchk::client
