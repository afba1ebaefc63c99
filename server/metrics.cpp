#include "server/metrics.h"

#include <prometheus/collectable.h>
#include <prometheus/exposer.h>

#include <optional>

#include "common/http/listener.h"

namespace connchk::server {
namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

constexpr const char* ServerVersion = "1.0";
// Scrapes answered at once: a few idle or slow connections, each cut after the request time-out,
// leave threads for the scrapers.
constexpr int MetricsThreads = 8;

ClientMetric sample(double value, std::vector<ClientMetric::Label> labels = {}) {
  ClientMetric metric;
  metric.label = std::move(labels);
  metric.counter.value = value;
  metric.gauge.value = value;
  return metric;
}

MetricFamily family(const char* name, const char* help, MetricType type, std::vector<ClientMetric> samples) {
  return MetricFamily{name, help, type, std::move(samples)};
}

// One sample per service, labelled with its protocol.
template <class Read>
MetricFamily perService(const char* name, const char* help, MetricType type, const ServerCounters& counters,
                        Read read) {
  std::vector<ClientMetric> samples;
  for (std::size_t slot = 0; slot < ServiceCount; ++slot) {
    samples.push_back(sample(read(counters.services[slot]), {{"protocol", serviceLabel(slot)}}));
  }
  return family(name, help, type, std::move(samples));
}

MetricFamily buildInfo() {
  return family("connchk_server_build_info", "The server's version; always 1.", MetricType::Gauge,
                {sample(1, {{"version", ServerVersion}})});
}

}  // namespace

std::vector<MetricFamily> collectServerMetrics(const MetricsSources& sources) {
  const ServerCounters& c = sources.counters;
  const auto load = [](const std::atomic<std::uint64_t>& value) { return static_cast<double>(value.load()); };
  int running = 0;
  for (const auto& service : c.services) running += service.state.load() == ServiceState::Running;

  std::vector<MetricFamily> families;
  families.push_back(perService("connchk_server_requests_answered_total", "Requests answered, per service.",
                                MetricType::Counter, c, [&](const ServiceCounters& s) { return load(s.answered); }));
  families.push_back(perService("connchk_server_account_queries_answered_total",
                                "Queries for the account of what arrived (UDP and TCP echo), answered, per service.",
                                MetricType::Counter, c,
                                [&](const ServiceCounters& s) { return load(s.accountQueriesAnswered); }));
  families.push_back(perService("connchk_server_requests_erroneous_total",
                                "Requests received without their marker or otherwise unfit to answer, per service.",
                                MetricType::Counter, c, [&](const ServiceCounters& s) { return load(s.erroneous); }));
  families.push_back(perService("connchk_server_receive_errors_total", "Failed receives and accepts, per service.",
                                MetricType::Counter, c,
                                [&](const ServiceCounters& s) { return load(s.receiveErrors); }));
  families.push_back(perService("connchk_server_send_errors_total", "Failed sends of an answer, per service.",
                                MetricType::Counter, c, [&](const ServiceCounters& s) { return load(s.sendErrors); }));
  families.push_back(perService("connchk_server_service_running", "1 while the service serves, 0 otherwise.",
                                MetricType::Gauge, c, [](const ServiceCounters& s) {
                                  return s.state.load() == ServiceState::Running ? 1.0 : 0.0;
                                }));
  families.push_back(family("connchk_server_services_running", "Services serving now, of fifteen.",
                            MetricType::Gauge, {sample(running)}));
  families.push_back(family("connchk_server_tcp_connections_open", "TCP echo connections open now.",
                            MetricType::Gauge, {sample(static_cast<double>(c.tcpConnectionsOpen.load()))}));
  families.push_back(family("connchk_server_terminal_exchanges_in_progress",
                            "Terminal exchanges waiting for their confirmation now.", MetricType::Gauge,
                            {sample(static_cast<double>(c.terminalExchangesInProgress.load()))}));
  families.push_back(family("connchk_server_senders_listed", "Distinct senders in the statistics list (at most 100).",
                            MetricType::Gauge, {sample(sources.statistics.filledSlots())}));
  families.push_back(family("connchk_server_log_lines_lost_total",
                            "Log lines that could not be written to the log file.", MetricType::Counter,
                            {sample(static_cast<double>(sources.log.linesLost()))}));
  families.push_back(buildInfo());
  return families;
}

// Reads the watched sources at scrape time; the lock keeps them from being forgotten mid-scrape.
class MetricsEndpoint::Collector : public prometheus::Collectable {
 public:
  std::vector<MetricFamily> Collect() const override {
    std::lock_guard<std::mutex> hold(mutex_);
    if (!sources_) return {buildInfo()};
    return collectServerMetrics(*sources_);
  }
  void watch(std::optional<MetricsSources> sources) {
    std::lock_guard<std::mutex> hold(mutex_);
    sources_.reset();
    if (sources) sources_.emplace(*sources);
  }

 private:
  mutable std::mutex mutex_;
  std::optional<MetricsSources> sources_;
};

platform::Result<std::unique_ptr<MetricsEndpoint>> MetricsEndpoint::open(const std::string& listenText) {
  const auto address = http::parseListenAddress(listenText);
  if (!address) return address.error();
  std::unique_ptr<MetricsEndpoint> endpoint(new MetricsEndpoint);
  const auto started = http::startListening([&] {
    endpoint->exposer_ =
        std::make_unique<prometheus::Exposer>(http::endpointOptions(*address, MetricsThreads), http::keepingCallbacks());
  });
  if (!started) return started.error();
  endpoint->collector_ = std::make_shared<Collector>();
  endpoint->exposer_->RegisterCollectable(endpoint->collector_);
  return endpoint;
}

MetricsEndpoint::~MetricsEndpoint() = default;

void MetricsEndpoint::watch(const MetricsSources& sources) { collector_->watch(sources); }

void MetricsEndpoint::forget() { collector_->watch(std::nullopt); }

int MetricsEndpoint::port() const {
  const auto ports = exposer_->GetListeningPorts();
  return ports.empty() ? 0 : ports.front();
}

}  // namespace connchk::server
