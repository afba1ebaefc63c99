#include "client/console_options.h"

#include <CLI/CLI.hpp>

#include <charconv>
#include <cmath>
#include <functional>
#include <memory>

#include "client/mtu.h"
#include "client/protocol_catalogue.h"
#include "client/sweep.h"
#include "common/text_format.h"

namespace connchk::client {

namespace {

// The option values as typed; they are checked after CLI11 has sorted them out, so that every
// refusal names its option and says what it allows.
struct TypedValues {
  std::vector<std::string> address;
  std::string size, count, terminal, interval, timeout, logDirectory, exporter;
  std::vector<std::string> protocols;
};

const char* const Description =
    "Sends test requests to a connection-check server and reports what came back: every step with\n"
    "its time, the round trip of every answer, and a summary at the end of the run.";

std::string usageFooter() {
  return format(
      "Each round sends one request, waits up to -W seconds for its answer, and pauses -i seconds\n"
      "before the next. Every log line is printed with its time and appended to client_log.txt beside\n"
      "the executable; a summary (sent, answered, loss, round trip min/avg/max/mdev in ms) ends every\n"
      "run. The first Ctrl-C stops the run or the sweep after its current round and prints the\n"
      "summary; a second one ends the program at once.\n"
      "\n"
      "--sweep runs the types one after another against ADDRESS, --count rounds each (default %d),\n"
      "then prints a matrix: type, protocol number, sent, answered, loss, median round trip, and the\n"
      "verdict: passed (an answer came), failed (none came), or not run with its reason (no right to\n"
      "open raw sockets; port 855 taken on this host by a server or another client; ...).\n"
      "--json prints one JSON document on stdout when the run or sweep ends; the log lines then go to\n"
      "stderr, or nowhere with --quiet. --quiet alone prints the summary (or the matrix) only.\n"
      "--mtu finds for each type (or those of -p) the largest request that is answered with\n"
      "fragmentation forbidden (DF set; IPv6 never fragments on the way): a bisection from 12 bytes up\n"
      "to -s (default 1500, up to 65000 for jumbo links), a few tries of -W seconds (default 1) per size.\n"
      "A row per type: the largest request, the IP packet it makes (the path MTU), the MTU a hop\n"
      "reported and its address, and the verdict: the path says its MTU, a black hole (larger packets\n"
      "vanish without a word), or no limit. With --sweep the matrix gets an MTU column.\n"
      "--json, --quiet, --sweep and --mtu imply --console. Otherwise, where a display is available, the\n"
      "window opens and the options are not used; with no display the client says so and runs here.\n"
      "\n"
      "Exit status: 0 when an answer came (a sweep: no type failed and one passed; --mtu: no black hole\n"
      "and every type answered), 1 when none came (a sweep: a type failed; --mtu: a black hole or a\n"
      "type without answer), 2 when the run could not start (bad option, socket, bind or connect\n"
      "failure, unknown host; a sweep in which no type could run).\n"
      "\n"
      "Protocol types: -p takes the text, the index, the short name in any letter case (\"terminal\"\n"
      "is telm-udp too) or, for a raw type, its protocol number. A number below 15 is always an index\n"
      "(1 is IP-Клиент, not ICMP); 17 is both udp and telm-udp and must be named.\n"
      "%s",
      DefaultSweepCount, protocolListing().c_str());
}

// The command line's shape: every option, its short form, and where its value goes.
std::unique_ptr<CLI::App> makeApp(ClientOptions& options, TypedValues& typed) {
  auto app = std::make_unique<CLI::App>(Description, "client");
  app->footer(usageFooter());
  app->get_formatter()->column_width(26);
  app->add_option("address", typed.address, format("server as IPv4 or IPv6 address or host name (default %s)",
                                                   DefaultServerAddress))
      ->type_name("ADDRESS")
      ->expected(0, 1);
  app->add_flag("--console", options.console, "run in this terminal instead of opening the window");
  app->add_flag_callback(
      "-4", [&options] { options.request.family = platform::FamilyChoice::IPv4; },
      "resolve the name to an IPv4 address only (default: the resolver's first address)");
  app->add_flag_callback(
      "-6", [&options] { options.request.family = platform::FamilyChoice::IPv6; },
      "resolve the name to an IPv6 address only (the last of -4 and -6 counts)");
  app->add_option("-c,--count", typed.count,
                  format("rounds: a number, or \"%s\" or -1 to run until Ctrl-C (default 1; %d with --sweep)",
                         InfiniteCountText, DefaultSweepCount))
      ->type_name("N");
  app->add_option("-s,--size", typed.size,
                  format("requested packet size, %u to %u bytes (default 32); an ICMP echo is padded to it (at "
                         "least 28); with --mtu the largest size tried, up to %u (default %u)",
                         MinPacketSize, MaxPacketSize, MtuMaxSize, MtuDefaultLargestSize))
      ->type_name("BYTES");
  app->add_option("-p,--protocol", typed.protocols,
                  "protocol type (default udp, IP-Клиент); with --sweep or --mtu it may be given several times")
      ->type_name("TYPE")
      ->allow_extra_args(false);  // one type per -p: "-p tcp HOST" leaves HOST the address
  app->add_option("-t,--terminal", typed.terminal,
                  format("terminal number of telm-udp, %d to %d (default 1)", MinTerminal, MaxTerminal))
      ->type_name("N");
  app->add_option("-i,--interval", typed.interval,
                  format("pause after each round, at least 0.2 (default 1)"))
      ->type_name("SECONDS");
  app->add_option("-W,--timeout", typed.timeout, "wait for an answer, at least 0.1 (default 5; 1 for a try of --mtu)")
      ->type_name("SECONDS");
  app->add_flag("-q,--quiet", options.quiet, "print only the summary, or the sweep's matrix");
  app->add_flag("--json", options.json, "print the run or the sweep as one JSON document on stdout");
  app->add_flag("--sweep", options.sweep, "check every protocol type (or those given with -p)");
  app->add_flag("--mtu", options.mtu,
                "find the largest request each type carries with fragmentation forbidden (every type, or those "
                "given with -p; see docs/mtu.md)");
  app->add_flag("--list-protocols", options.listProtocols, "print the protocol types and their names");
  app->add_option("--log-dir", typed.logDirectory, "write client_log.txt into DIR")->type_name("DIR");
  app->add_flag("-V,--version", options.version, "print the version");
  app->add_option("--exporter", typed.exporter,
                  "serve Prometheus probes on [ADDRESS:]PORT; takes --log-dir only (see the man page)")
      ->type_name("[ADDRESS:]PORT");
  return app;
}

// CLI11's words for the usual slips, made plain.
std::string plainParseError(const CLI::ParseError& error) {
  const std::string what = error.what();
  const auto colon = what.find(':');
  const std::string option = colon == std::string::npos ? std::string() : what.substr(0, colon);
  if (option == "address") return "only one server address may be given";
  if (option.rfind("-", 0) == 0) {
    if (what.find("missing") != std::string::npos) return option + " needs a value";
    if (what.find("At Most 1") != std::string::npos) return option + " may be given only once";
  }
  if (what.rfind("The following argument", 0) == 0) return "unknown option " + what.substr(colon + 2) + " (see --help)";
  return what + " (see --help)";
}

// Applies the typed values to `options`; an empty result means they were all good.
std::string applyValues(const TypedValues& typed, const std::function<bool(const char*)>& given,
                        ClientOptions& options) {
  RunRequest& r = options.request;
  if (!typed.address.empty()) {
    if (addressTooLong(typed.address[0])) {
      return format("the server address may be at most %zu characters long", MaxAddressLength);
    }
    r.address = typed.address[0];
  }
  if (given("--size")) {
    // With --mtu the size is the top of the search, and jumbo links may take more than 1500.
    const std::uint32_t largest = options.mtu ? MtuMaxSize : MaxPacketSize;
    const auto size = parseWholeNumber(typed.size, MinPacketSize, largest);
    if (!size) {
      return format("-s/--size must be a whole number from %u to %u%s", MinPacketSize, largest,
                    options.mtu ? " with --mtu" : "");
    }
    (options.mtu ? options.mtuLargestSize : r.size) = *size;
  }
  if (given("--terminal")) {
    const auto terminal = parseTerminal(typed.terminal);
    if (!terminal) return format("-t/--terminal must be a whole number from %d to %d", MinTerminal, MaxTerminal);
    r.terminal = *terminal;
  }
  if (given("--interval")) {
    const auto ms = parseSeconds(typed.interval, MinIntervalMs, MaxSecondsOption * 1000);
    if (!ms) return format("-i/--interval must be a number of seconds from 0.2 to %d", MaxSecondsOption);
    r.intervalMs = *ms;
  }
  if (given("--timeout")) {
    const auto ms = parseSeconds(typed.timeout, MinTimeoutMs, MaxSecondsOption * 1000);
    if (!ms) return format("-W/--timeout must be a number of seconds from 0.1 to %d", MaxSecondsOption);
    r.timeoutMs = *ms;
    options.mtuTimeoutMs = *ms;
  }
  for (const std::string& name : typed.protocols) {
    const ProtocolLookup found = lookUpProtocolType(name);
    if (!found.index) return "-p/--protocol: " + found.error;
    options.sweepTypes.push_back(*found.index);
  }
  if (!options.manyTypes() && options.sweepTypes.size() > 1) {
    return "-p/--protocol may be given more than once only with --sweep or --mtu";
  }
  if (!options.manyTypes() && !options.sweepTypes.empty()) {
    r.protocolIndex = options.sweepTypes[0];
    r.protocolNumber = ProtocolCatalogue()[static_cast<std::size_t>(r.protocolIndex)].number;
    options.sweepTypes.clear();
  }
  if (given("--count")) {
    const auto count = parseCountOption(typed.count);
    if (!count) return format("-c/--count must be a whole number from 1 up, or \"%s\" or -1", InfiniteCountText);
    r.count = *count;
  }
  if (options.sweep) {
    if (!given("--count")) r.count = DefaultSweepCount;
    if (r.count < 1) return "-c/--count must be a whole number from 1 up with --sweep (a sweep does not run without end)";
  }
  if (given("--log-dir")) {
    if (typed.logDirectory.empty()) return "--log-dir needs a directory";
    options.logDirectory = typed.logDirectory;
  }
  return {};
}

// The probe exporter is a mode of its own: each probe names its own target and protocol, so it
// takes only where to listen, the log folder and --console (which it is anyway).
std::string applyExporterValues(const CLI::App& app, const TypedValues& typed, ClientOptions& options) {
  for (const CLI::Option* option : app.get_options()) {
    const std::string name = option->get_name();
    if (option->count() > 0 && name != "--exporter" && name != "--log-dir" && name != "--console") {
      return "--exporter takes no other option but --log-dir: each probe names its own target and protocol";
    }
  }
  if (typed.exporter.empty() || typed.exporter[0] == '-') return "--exporter needs [ADDRESS:]PORT";
  options.exporterListen = typed.exporter;
  if (app.get_option("--log-dir")->count() > 0) {
    if (typed.logDirectory.empty()) return "--log-dir needs a directory";
    options.logDirectory = typed.logDirectory;
  }
  return {};
}

}  // namespace

std::optional<int> parseSeconds(const std::string& text, int lowMs, int highMs) {
  // Digits with at most one point: no sign, exponent, "inf" or "nan".
  if (text.empty() || text.size() > 16 || text.find_first_not_of("0123456789.") != std::string::npos ||
      text.find('.') != text.rfind('.') || text == ".") {
    return std::nullopt;
  }
  double seconds = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
  if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(seconds)) return std::nullopt;
  const double ms = std::round(seconds * 1000.0);
  if (ms < lowMs || ms > highMs) return std::nullopt;
  return static_cast<int>(ms);
}

ClientOptionsParse parseClientOptions(const std::vector<std::string>& args) {
  ClientOptions options;
  TypedValues typed;
  const auto app = makeApp(options, typed);
  std::vector<std::string> reversed(args.rbegin(), args.rend());  // CLI11 takes them last first
  try {
    app->parse(reversed);
  } catch (const CLI::CallForHelp&) {
    options.help = true;
    return {options, {}};
  } catch (const CLI::ParseError& error) {
    return {std::nullopt, plainParseError(error)};
  }
  if (options.version || options.listProtocols) return {options, {}};
  const auto given = [&app](const char* name) { return app->get_option(name)->count() > 0; };
  if (given("--exporter")) {
    const std::string problem = applyExporterValues(*app, typed, options);
    if (!problem.empty()) return {std::nullopt, problem};
    return {options, {}};
  }
  const std::string problem = applyValues(typed, given, options);
  if (!problem.empty()) return {std::nullopt, problem};
  return {options, {}};
}

std::string clientUsage() {
  ClientOptions options;
  TypedValues typed;
  return makeApp(options, typed)->help();
}

std::string protocolListing() {
  std::string out = "index  number  short name  type\n";
  const auto catalogue = ProtocolCatalogue();
  for (std::size_t i = 0; i < catalogue.size(); ++i) {
    out += format("%5zu  %6u  %-10s  %s\n", i, catalogue[i].number, catalogue[i].shortName, catalogue[i].text);
  }
  return out;
}

}  // namespace connchk::client
