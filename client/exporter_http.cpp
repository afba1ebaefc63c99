#include "client/exporter_http.h"

#include <CivetServer.h>
#include <prometheus/text_serializer.h>

#include <condition_variable>
#include <mutex>
#include <sstream>

#include "client/exporter_metrics.h"
#include "client/exporter_probe.h"
#include "client/exporter_query.h"
#include "client/protocol_catalogue.h"
#include "common/http/listener.h"
#include "common/text_format.h"

namespace connchk::client {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

namespace {

constexpr const char* MetricsContentType = "text/plain; version=0.0.4; charset=utf-8";
constexpr const char* TextContentType = "text/plain; charset=utf-8";
constexpr const char* ScrapeTimeoutHeader = "X-Prometheus-Scrape-Timeout-Seconds";
constexpr int ExporterThreads = 32;  // probes answered at once; later scrapes wait for a thread

std::string serialize(const std::vector<prometheus::MetricFamily>& families) {
  std::ostringstream out;
  prometheus::TextSerializer().Serialize(out, families);
  return out.str();
}

// One whole HTTP answer through civetweb.
void respond(mg_connection* connection, int status, const char* contentType, const std::string& body) {
  mg_response_header_start(connection, status);
  mg_response_header_add(connection, "Content-Type", contentType, -1);
  mg_response_header_add(connection, "Content-Length", std::to_string(body.size()).c_str(), -1);
  mg_response_header_send(connection);
  mg_write(connection, body.data(), body.size());
}

// A civetweb handler that passes GET requests to a member of the exporter.
template <class Owner, void (Owner::*answer)(mg_connection*)>
class GetHandler : public CivetHandler {
 public:
  explicit GetHandler(Owner& owner) : owner_(owner) {}
  bool handleGet(CivetServer*, mg_connection* connection) override {
    (owner_.*answer)(connection);
    return true;
  }

 private:
  Owner& owner_;
};

}  // namespace

// The exporter's web server, its own metrics, and what its probes share.
class ProbeExporter::State {
 public:
  State(ActivityLog& log, ProbeWays ways)
      : log_(log), ways_(std::move(ways)), runner_(log), probeHandler_(*this), metricsHandler_(*this) {}

  ~State() { stop(); }

  platform::Status listen(const http::ListenAddress& address) {
    const auto options = http::endpointOptions(address, ExporterThreads);
    auto started = http::startListening([&] { server_ = std::make_unique<CivetServer>(options, http::keepingCallbacks()); });
    if (!started) return started;
    server_->addHandler("/probe", probeHandler_);
    server_->addHandler("/metrics", metricsHandler_);
    return {};
  }

  int port() const {
    const auto ports = server_ ? server_->getListeningPorts() : std::vector<int>{};
    return ports.empty() ? 0 : ports.front();
  }

  // Stops every probe in progress and lets it answer (a run ends within one round of its stop).
  void stopProbes() {
    stopping_.signal();
    std::unique_lock<std::mutex> hold(mutex_);
    answered_.wait_for(hold, std::chrono::seconds(15), [&] { return answering_ == 0; });
  }

  // Then closes the server, which writes nothing more once it is closing.
  void stop() {
    stopProbes();
    server_.reset();
  }

 private:
  void answerMetrics(mg_connection* connection) {
    respond(connection, 200, MetricsContentType, serialize(metrics_.collect(log_)));
  }

  void answerProbe(mg_connection* connection) {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      if (stopping_.signalled()) {
        respond(connection, 503, TextContentType, "the exporter is stopping\n");
        return;
      }
      ++answering_;
    }
    answerQuery(connection);
    std::lock_guard<std::mutex> hold(mutex_);
    --answering_;
    answered_.notify_all();
  }

  void answerQuery(mg_connection* connection) {
    const mg_request_info* request = mg_get_request_info(connection);
    ProbeQueryParse parsed = parseProbeQuery(request->query_string ? request->query_string : "", ways_);
    const milliseconds budget = probeBudget(mg_get_header(connection, ScrapeTimeoutHeader));
    if (parsed.query && !answerTimeoutWithin(budget, parsed.query->count)) {
      parsed = {std::nullopt, format("count %d leaves less than %d ms per answer within the scrape time-out",
                                     parsed.query->count, MinProbeAnswerTimeoutMs)};
    }
    if (!parsed.query) {
      metrics_.queryRejected();
      respond(connection, 400, TextContentType, parsed.error + "\n");
      return;
    }
    const ProbeResult result = runProbe(*parsed.query, budget, connection);
    // Nobody is left to read the figures of a dropped probe.
    if (!result.dropped) respond(connection, 200, MetricsContentType, serialize(probeMetrics(result)));
  }

  ProbeResult runProbe(const ProbeQuery& query, milliseconds budget, const mg_connection* connection) {
    const auto deadline = steady_clock::now() + budget;
    const ProbeWatch watch{stopping_, http::connectionSocket(connection)};
    ProbeResult result;
    if (watch.scraperGone()) {
      // It waited for a worker longer than its scraper did.
      result.started = false;
      result.dropped = true;
    } else {
      metrics_.inProgress().Increment();
      result = runner_.run(query, deadline, watch);
      metrics_.inProgress().Decrement();
    }
    metrics_.probeEnded(ProtocolCatalogue()[static_cast<std::size_t>(query.protocolIndex)].shortName, result);
    return result;
  }

  using ProbeHandler = GetHandler<State, &State::answerProbe>;
  using MetricsHandler = GetHandler<State, &State::answerMetrics>;
  friend ProbeHandler;
  friend MetricsHandler;

  ActivityLog& log_;
  const ProbeWays ways_;
  ExporterMetrics metrics_;
  ProbeRunner runner_;

  platform::StopEvent stopping_;
  std::mutex mutex_;  // guards answering_
  std::condition_variable answered_;
  int answering_ = 0;  // probe queries being answered

  ProbeHandler probeHandler_;
  MetricsHandler metricsHandler_;
  std::unique_ptr<CivetServer> server_;  // last: closed first, while the handlers still exist
};

ProbeExporter::ProbeExporter(ActivityLog& log, ProbeWays ways) : state_(std::make_unique<State>(log, std::move(ways))) {}

ProbeExporter::~ProbeExporter() = default;

platform::Status ProbeExporter::listen(const std::string& listenText) {
  const auto address = http::parseListenAddress(listenText);
  if (!address) return address.error();
  return state_->listen(*address);
}

int ProbeExporter::port() const { return state_->port(); }

void ProbeExporter::stopProbes() { state_->stopProbes(); }

}  // namespace connchk::client
