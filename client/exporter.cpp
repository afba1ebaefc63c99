#include "client/exporter.h"

#include <signal.h>
#include <unistd.h>

#include <CivetServer.h>
#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <sstream>

#include "client/protocol_catalogue.h"
#include "client/report.h"
#include "client/run_control.h"
#include "common/console_view.h"
#include "common/http/listener.h"
#include "common/platform/signals.h"
#include "common/text_format.h"

namespace connchk::client {

using std::chrono::milliseconds;
using std::chrono::steady_clock;
using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

namespace {

constexpr const char* ExporterVersion = "1.0";
constexpr const char* MetricsContentType = "text/plain; version=0.0.4; charset=utf-8";
constexpr const char* ScrapeTimeoutHeader = "X-Prometheus-Scrape-Timeout-Seconds";
constexpr int ExporterThreads = 32;  // probes answered at once; later scrapes wait for a thread

std::string lowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string shortNames() {
  std::string names;
  for (const ProtocolType& type : ProtocolCatalogue()) names += std::string(names.empty() ? "" : ", ") + type.shortName;
  return names;
}

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

std::string serialize(const std::vector<MetricFamily>& families) {
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

}  // namespace

ProbeQueryParse parseProbeQuery(const std::string& queryString) {
  const auto param = [&](const char* name) -> std::optional<std::string> {
    std::string value;
    if (!CivetServer::getParam(queryString, name, value)) return std::nullopt;
    return value;
  };
  ProbeQuery query;
  const auto target = param("target");
  if (!target || target->empty()) return {std::nullopt, "missing target: give target=HOST, the server's address or host name"};
  if (addressTooLong(*target)) {
    return {std::nullopt, format("target is longer than %zu characters", MaxAddressLength)};
  }
  if (std::any_of(target->begin(), target->end(), [](char c) { return static_cast<unsigned char>(c) <= ' ' || c == 0x7F; })) {
    return {std::nullopt, "target holds blanks or control characters, which no address or host name has"};
  }
  query.target = *target;

  const auto protocol = param("protocol");
  const std::string allowed = "use a short name (" + shortNames() + "), the exact catalogue text or its index 0 to 14";
  if (!protocol || protocol->empty()) return {std::nullopt, "missing protocol: give protocol=TYPE; " + allowed};
  const auto index = findProtocolType(*protocol);
  if (!index) return {std::nullopt, "unknown protocol: " + allowed};
  query.protocolIndex = *index;

  if (const auto count = param("count")) {
    const auto parsed = parseWholeNumber(*count, 1, MaxProbeCount);
    if (!parsed) return {std::nullopt, format("count must be a whole number from 1 to %d", MaxProbeCount)};
    query.count = static_cast<int>(*parsed);
  }
  if (const auto size = param("size")) {
    const auto parsed = parseSize(*size);
    if (!parsed) return {std::nullopt, format("size must be a whole number from %u to %u", MinPacketSize, MaxPacketSize)};
    query.size = *parsed;
  }
  if (const auto terminal = param("terminal")) {
    const auto parsed = parseTerminal(*terminal);
    if (!parsed) return {std::nullopt, format("terminal must be a whole number from %d to %d", MinTerminal, MaxTerminal)};
    query.terminal = *parsed;
  }
  if (const auto family = param("family")) {
    const std::string asked = lowerCase(*family);
    if (asked == "ipv4" || asked == "4") {
      query.family = platform::FamilyChoice::IPv4;
    } else if (asked == "ipv6" || asked == "6") {
      query.family = platform::FamilyChoice::IPv6;
    } else {
      return {std::nullopt, "family must be ipv4 or ipv6 (or leave it out for the resolver's first address)"};
    }
  }
  return {query, {}};
}

milliseconds probeBudget(const char* scrapeTimeoutHeader) {
  if (!scrapeTimeoutHeader) return milliseconds(DefaultProbeBudgetMs);
  char* end = nullptr;
  const double seconds = std::strtod(scrapeTimeoutHeader, &end);
  if (end == scrapeTimeoutHeader || *end != '\0' || !std::isfinite(seconds) || seconds <= 0) {
    return milliseconds(DefaultProbeBudgetMs);
  }
  const double budgetMs = std::clamp((seconds - 0.5) * 1000.0, 0.0, 60000.0);
  return milliseconds(static_cast<long long>(budgetMs));
}

std::optional<int> answerTimeoutWithin(milliseconds budget, int count) {
  if (count < 1) return std::nullopt;
  const long long pauses = static_cast<long long>(count - 1) * ProbeIntervalMs;
  const long long each = (budget.count() - pauses) / count;
  if (each < MinProbeAnswerTimeoutMs) return std::nullopt;
  return static_cast<int>(std::min<long long>(each, MaxProbeAnswerTimeoutMs));
}

std::vector<MetricFamily> probeMetrics(const ProbeResult& result) {
  const RunSummary summary = summarize(result.outcome);
  std::vector<MetricFamily> families{
      gaugeFamily("probe_success", "1 when the check passed (with loss or without).",
                  result.started && result.outcome.judgement.exitStatus == 0 ? 1 : 0),
      gaugeFamily("probe_duration_seconds", "How long the probe took, waiting for its turn included.",
                  result.durationSeconds),
      gaugeFamily("probe_start_failed",
                  "1 when nothing could be sent for a fault of this host: socket right, bind, unknown host, or "
                  "port 855 busy.",
                  result.started ? 0 : 1),
      gaugeFamily("probe_requests_sent", "Requests sent.", summary.sent),
      gaugeFamily("probe_answers_received", "Answers accepted.", summary.answered),
  };
  if (summary.sent > 0) {
    families.push_back(gaugeFamily("probe_loss_ratio", "Requests without an accepted answer, over those sent.",
                                   summary.lossPercent / 100.0));
  }
  if (result.started) families.push_back(verdictFamily(result.outcome.judgement));
  const bool timed = std::any_of(result.outcome.rounds.begin(), result.outcome.rounds.end(),
                                 [](const RoundRecord& r) { return r.result == RoundResult::Answered && r.roundTripUs >= 0; });
  if (timed) {
    families.push_back(gaugeFamily("probe_rtt_min_seconds", "Shortest round trip.", summary.minUs / 1e6));
    families.push_back(gaugeFamily("probe_rtt_avg_seconds", "Mean round trip.", summary.avgUs / 1e6));
    families.push_back(gaugeFamily("probe_rtt_max_seconds", "Longest round trip.", summary.maxUs / 1e6));
  }
  return families;
}

// The exporter's web server, its own metrics, and what its probes share.
class ProbeExporter::State {
 public:
  explicit State(ActivityLog& log)
      : log_(log),
        probes_(prometheus::BuildCounter()
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
        rejected_(prometheus::BuildCounter()
                      .Name("connchk_exporter_queries_rejected_total")
                      .Help("Probe queries refused as malformed (HTTP 400).")
                      .Register(registry_)
                      .Add({})),
        inProgress_(prometheus::BuildGauge()
                        .Name("connchk_exporter_probes_in_progress")
                        .Help("Probes running now.")
                        .Register(registry_)
                        .Add({})),
        probeHandler_(*this),
        metricsHandler_(*this) {
    // Every series exists from the start, so that rates and alerts see the first probe.
    for (const ProtocolType& type : ProtocolCatalogue()) {
      for (const char* result : {"success", "failure", "not-started"}) {
        probes_.Add({{"protocol", type.shortName}, {"result", result}});
      }
      sent_.Add({{"protocol", type.shortName}});
      answered_.Add({{"protocol", type.shortName}});
    }
  }

  ~State() { stop(); }

  bool listen(const http::ListenAddress& address, std::string& error) {
    const std::vector<std::string> options{"listening_ports", address.listeningPorts(), "num_threads",
                                           std::to_string(ExporterThreads)};
    if (!http::startListening([&] { server_ = std::make_unique<CivetServer>(options, http::keepingCallbacks()); },
                              error)) {
      return false;
    }
    server_->addHandler("/probe", probeHandler_);
    server_->addHandler("/metrics", metricsHandler_);
    return true;
  }

  int port() const {
    const auto ports = server_ ? server_->getListeningPorts() : std::vector<int>{};
    return ports.empty() ? 0 : ports.front();
  }

  // Wakes every probe that waits and stops its run, lets it answer (a run ends within one round
  // of its stop), then closes the server, which writes nothing more once it is closing.
  void stop() {
    std::unique_lock<std::mutex> hold(mutex_);
    stopping_ = true;
    wake_.notify_all();
    wake_.wait_for(hold, std::chrono::seconds(15), [&] { return answering_ == 0; });
    hold.unlock();
    server_.reset();
  }

 private:
  class ProbeHandler : public CivetHandler {
   public:
    explicit ProbeHandler(State& state) : state_(state) {}
    bool handleGet(CivetServer*, mg_connection* connection) override {
      state_.answerProbe(connection);
      return true;
    }

   private:
    State& state_;
  };

  class MetricsHandler : public CivetHandler {
   public:
    explicit MetricsHandler(State& state) : state_(state) {}
    bool handleGet(CivetServer*, mg_connection* connection) override {
      respond(connection, 200, MetricsContentType, serialize(state_.ownMetrics()));
      return true;
    }

   private:
    State& state_;
  };

  void answerProbe(mg_connection* connection) {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      if (stopping_) {
        respond(connection, 503, "text/plain; charset=utf-8", "the exporter is stopping\n");
        return;
      }
      ++answering_;
    }
    answerQuery(connection);
    std::lock_guard<std::mutex> hold(mutex_);
    --answering_;
    wake_.notify_all();
  }

  void answerQuery(mg_connection* connection) {
    const mg_request_info* request = mg_get_request_info(connection);
    ProbeQueryParse parsed = parseProbeQuery(request->query_string ? request->query_string : "");
    const milliseconds budget = probeBudget(mg_get_header(connection, ScrapeTimeoutHeader));
    if (parsed.query && !answerTimeoutWithin(budget, parsed.query->count)) {
      parsed = {std::nullopt, format("count %d leaves less than %d ms per answer within the scrape time-out",
                                     parsed.query->count, MinProbeAnswerTimeoutMs)};
    }
    if (!parsed.query) {
      rejected_.Increment();
      respond(connection, 400, "text/plain; charset=utf-8", parsed.error + "\n");
      return;
    }
    const ProbeResult result = runProbe(*parsed.query, budget);
    respond(connection, 200, MetricsContentType, serialize(probeMetrics(result)));
  }

  ProbeResult runProbe(const ProbeQuery& query, milliseconds budget) {
    const auto start = steady_clock::now();
    const auto deadline = start + budget;
    inProgress_.Increment();
    ProbeResult result;
    const ProtocolType& type = ProtocolCatalogue()[static_cast<std::size_t>(query.protocolIndex)];
    // The terminal exchange binds UDP port 855 of this host: one such probe at a time, waiting
    // no longer than leaves the shortest answer time-out.
    std::unique_lock<std::timed_mutex> port(terminalPort_, std::defer_lock);
    const bool needsPort = query.protocolIndex == TerminalUdpIndex;
    const auto latestTurn = deadline - milliseconds(query.count * (MinProbeAnswerTimeoutMs + ProbeIntervalMs));
    if (needsPort && !waitForTurn(port, latestTurn)) {
      result.started = false;
    } else if (const auto timeout = answerTimeoutWithin(
                   std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now()), query.count)) {
      result = run(query, type, *timeout, deadline);
    } else {
      result.started = false;
    }
    result.durationSeconds = std::chrono::duration<double>(steady_clock::now() - start).count();
    record(type, result);
    inProgress_.Decrement();
    return result;
  }

  bool waitForTurn(std::unique_lock<std::timed_mutex>& port, steady_clock::time_point latest) {
    while (!port.try_lock_for(milliseconds(100))) {
      std::lock_guard<std::mutex> hold(mutex_);
      if (stopping_ || steady_clock::now() >= latest) return false;
    }
    return true;
  }

  // One run of its own, stopped at the deadline if it has not ended by then.
  ProbeResult run(const ProbeQuery& query, const ProtocolType& type, int timeoutMs, steady_clock::time_point deadline) {
    RunRequest request;
    request.address = query.target;
    request.family = query.family;
    request.size = query.size;
    request.count = query.count;
    request.protocolNumber = type.number;
    request.protocolIndex = query.protocolIndex;
    request.terminal = query.terminal;
    request.intervalMs = ProbeIntervalMs;
    request.timeoutMs = timeoutMs;

    bool ended = false;
    RunEvents events;
    events.ended = [&](const RunOutcome&) {
      std::lock_guard<std::mutex> hold(mutex_);
      ended = true;
      wake_.notify_all();
    };
    RunControl control(log_, withLoggedSummary(log_, std::move(events)));
    ProbeResult result;
    if (control.startRun(request) != StartRefusal::None) {
      result.started = false;
      return result;
    }
    {
      std::unique_lock<std::mutex> hold(mutex_);
      wake_.wait_until(hold, deadline, [&] { return ended || stopping_; });
    }
    control.stopRun();  // a run that has ended ignores it
    result.outcome = control.waitForEnd();
    // A path that refused or dropped the connection is a failed check, not one that could not start.
    result.started = !(result.outcome.startFailed && result.outcome.judgement.reason.local);
    return result;
  }

  void record(const ProtocolType& type, const ProbeResult& result) {
    const char* verdict = !result.started                              ? "not-started"
                          : result.outcome.judgement.exitStatus == 0 ? "success"
                                                                     : "failure";
    probes_.Add({{"protocol", type.shortName}, {"result", verdict}}).Increment();
    sent_.Add({{"protocol", type.shortName}}).Increment(result.outcome.requestsSent);
    answered_.Add({{"protocol", type.shortName}}).Increment(result.outcome.answersAccepted);
  }

  std::vector<MetricFamily> ownMetrics() {
    std::vector<MetricFamily> families = registry_.Collect();
    ClientMetric lost;
    lost.counter.value = static_cast<double>(log_.linesLost());
    families.push_back({"connchk_exporter_log_lines_lost_total", "Log lines that could not be written to the log file.",
                        MetricType::Counter, {lost}});
    ClientMetric build;
    build.label = {{"version", ExporterVersion}};
    build.gauge.value = 1;
    families.push_back({"connchk_exporter_build_info", "The client's version; always 1.", MetricType::Gauge, {build}});
    return families;
  }

  ActivityLog& log_;
  prometheus::Registry registry_;
  prometheus::Family<prometheus::Counter>& probes_;
  prometheus::Family<prometheus::Counter>& sent_;
  prometheus::Family<prometheus::Counter>& answered_;
  prometheus::Counter& rejected_;
  prometheus::Gauge& inProgress_;

  std::mutex mutex_;  // guards stopping_, answering_ and each run's end
  std::condition_variable wake_;
  bool stopping_ = false;
  int answering_ = 0;  // probe queries being answered
  std::timed_mutex terminalPort_;

  ProbeHandler probeHandler_;
  MetricsHandler metricsHandler_;
  std::unique_ptr<CivetServer> server_;  // last: closed first, while the handlers still exist
};

ProbeExporter::ProbeExporter(ActivityLog& log) : state_(std::make_unique<State>(log)) {}

ProbeExporter::~ProbeExporter() = default;

bool ProbeExporter::listen(const std::string& listenText, std::string& error) {
  const auto address = http::parseListenAddress(listenText, error);
  return address && state_->listen(*address, error);
}

int ProbeExporter::port() const { return state_->port(); }

std::optional<ExporterArgument> findExporterArgument(const std::vector<std::string>& args) {
  const auto at = std::find_if(args.begin(), args.end(), [](const std::string& arg) {
    return arg == "--exporter" || arg.rfind("--exporter=", 0) == 0;
  });
  if (at == args.end()) return std::nullopt;
  ExporterArgument found;
  std::size_t used = 1;
  if (*at == "--exporter") {
    if (at + 1 == args.end() || (at + 1)->rfind("--", 0) == 0) return ExporterArgument{{}, "--exporter needs [ADDRESS:]PORT"};
    found.listenText = *(at + 1);
    used = 2;
  } else {
    found.listenText = at->substr(std::string("--exporter=").size());
  }
  const auto consoles = std::count(args.begin(), args.end(), std::string("--console"));
  if (static_cast<std::ptrdiff_t>(args.size() - used) > consoles) {
    found.error = "--exporter takes no other option: each probe names its own target and protocol";
  }
  return found;
}

int runProbeExporter(const std::string& listenText) {
  ActivityLog log(LogStyle::Client, ClientLogFileName);
  ConsoleView view;
  log.setView(&view);
  log.setAlert([](const std::string& message) { alertOnStderr("client", message); });

  std::mutex mutex;
  std::condition_variable signalled;
  bool ending = false;
  // The first Ctrl-C or termination request ends the exporter once the probes in progress have
  // stopped; a second one ends the program at once.
  platform::SignalWatcher signals([&](int, int count) {
    if (count > 1) {
      log.closeForExit();
      std::fflush(stdout);
      _exit(130);
    }
    std::lock_guard<std::mutex> hold(mutex);
    ending = true;
    signalled.notify_all();
  });

  ProbeExporter exporter(log);
  std::string error;
  if (!exporter.listen(listenText, error)) {
    std::fprintf(stderr, "client: --exporter %s: %s\n", listenText.c_str(), error.c_str());
    return 2;
  }
  std::fprintf(stderr, "client: probe exporter on port %d: /probe?target=HOST&protocol=TYPE, /metrics\n",
               exporter.port());
  std::unique_lock<std::mutex> hold(mutex);
  signalled.wait(hold, [&] { return ending; });
  return 0;
}

}  // namespace connchk::client
