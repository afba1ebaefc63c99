#include "client/console_options.h"

#include <CLI/CLI.hpp>

#include <charconv>
#include <cmath>
#include <functional>
#include <memory>

#include "client/mtu.h"
#include "client/protocol_catalogue.h"
#include "client/sweep.h"
#include "client/trace.h"
#include "common/text_format.h"

namespace connchk::client {

namespace {

// The option values as typed; they are checked after CLI11 has sorted them out, so that every
// refusal names its option and says what it allows.
struct TypedValues {
  std::vector<std::string> address;
  std::string size, count, terminal, interval, timeout, maxLoss, logDirectory, exporter, interface, ttl, maxHops,
      probes, tos;
  bool allowVia = false;
  std::vector<std::string> protocols, vias;
};

const char* const Description =
    "Sends test requests to a connection-check server and reports what came back: every step with\n"
    "its time, the round trip of every answer, and a summary at the end of the run.";

std::string usageFooter() {
  return format(
      "Each round sends one request, waits up to -W seconds for its answer, and pauses -i seconds\n"
      "before the next. With --paced a request leaves every -i seconds whatever came back, each waits\n"
      "up to -W seconds for its own answer (told apart by the send time it carries), and the run ends\n"
      "-W seconds after the last request at the latest: a dead path costs count x -i, not count x\n"
      "(-W + -i). TCP (one request outstanding per connection) and telm-udp (an exchange) refuse it. Every log line is printed with its time and appended to client_log.txt beside\n"
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
      "--trace sends each type's own first request with TTL (hop limit) 1, 2, 3 ... and shows where\n"
      "it stops: a table of hops per type (address, round trip, what the hop said, * for silence) and a\n"
      "matrix of every type with its last hop and verdict: reached the server at hop N, stops after hop\n"
      "N, or refused at hop N by ADDRESS with the ICMP reason. All types are traced at once; each stops\n"
      "at the server's answer, a refusal, or 3 silent hops. -W is the longest wait for one hop.\n"
      "Without the raw-socket right UDP and TCP are still traced (ICMP errors through IP_RECVERR);\n"
      "the types that cannot be traced say why. Exit status as a sweep: 0 when every traced type\n"
      "reached the server, 1 when one did not, 2 when none could be traced. --sweep --trace traces\n"
      "first, then sweeps, and adds each type's last hop to the matrix. See docs/trace.md.\n"
      "--mtu finds for each type (or those of -p) the largest request answered with fragmentation\n"
      "forbidden (DF set; IPv6 never fragments on the way): all types at once, a bisection from 12 bytes\n"
      "up to -s (default %u; up to %u for jumbo links), a few tries of -W seconds (default 1) per size.\n"
      "A row per type: the largest request, the IP packet it makes (path MTU), the MTU a hop reported and\n"
      "its address, and the verdict: the path says its MTU, \"чёрная дыра MTU\" (larger packets vanish\n"
      "without a word), or no limit. Exit status 1 for a black hole. --sweep --mtu adds an MTU column\n"
      "to the matrix (-s is then the top of the search). See docs/mtu.md.\n"
      "--json, --quiet, --sweep, --trace and --mtu imply --console. Otherwise, where a display is available,\n"
      "the window opens and the options are not used; with no display the client says so and runs here.\n"
      "\n"
      "Way out: -I tun0 ties every socket to that interface (only its routes count; needs CAP_NET_RAW);\n"
      "-I 198.51.100.2 sends from that address of this host (the route stays the table's). An interface\n"
      "that is missing or down, or an address this host lacks, is refused before anything is sent.\n"
      "--sweep --via tun0 --via eth0 runs every type through each way and prints one matrix with a\n"
      "column per way, the types judged differently marked \"различается\" (JSON: \"ways\").\n"
      "\n"
      "A run passes when every request is answered, passes with loss when some are not (at most\n"
      "--max-loss percent of them, 100 by default), and fails otherwise.\n"
      "Exit status: 0 when the run passed, with loss or without (a sweep: no type failed and one\n"
      "passed); 1 for a fault of the path: no answer, too much loss, refused, reset, unreachable, a TCP\n"
      "connection refused or timed out (a sweep: a type failed); 2 for a fault of this host: bad\n"
      "option, no right to the socket, unknown host, a socket or bind failure (a sweep in which no\n"
      "type could run).\n"
      "SIGTERM ends a run like the first Ctrl-C, with its summary; SIGQUIT prints the summary so far on\n"
      "stderr and the run goes on.\n"
      "\n"
      "After every run (and every type of a sweep) the client asks the server which of the run's\n"
      "requests it received, over TCP port 87 (UDP 87 when TCP does not connect), and says whether\n"
      "requests or answers were lost, how the server sees this host (a NAT on the way), the TTL on\n"
      "arrival and the hops it implies, and a DSCP the path rewrote. A server without this account\n"
      "gives none and the verdict stays as it is; --no-account does not ask.\n"
      "\n"
      "Protocol types: -p takes the text, the index, the short name in any letter case (\"terminal\"\n"
      "is telm-udp too) or, for a raw type, its protocol number. A number below 15 is always an index\n"
      "(1 is IP-Клиент, not ICMP); 17 is both udp and telm-udp and must be named.\n"
      "%s",
      DefaultSweepCount, MtuDefaultLargestSize, MtuMaxSize, protocolListing().c_str());
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
  app->add_option("-s,--size", typed.size, format("requested packet size, %u to %u bytes (default 32); an ICMP echo "
                                                  "is padded to it (at least 28); with --mtu the top of the search, up to %u",
                                                  MinPacketSize, MaxPacketSize, MtuMaxSize))
      ->type_name("BYTES");
  app->add_option("-p,--protocol", typed.protocols,
                  "protocol type (default udp, IP-Клиент); with --sweep, --trace or --mtu it may be given "
                  "several times")
      ->type_name("TYPE")
      ->allow_extra_args(false);  // one type per -p: "-p tcp HOST" leaves HOST the address
  app->add_option("-t,--terminal", typed.terminal,
                  format("terminal number of telm-udp, %d to %d (default 1)", MinTerminal, MaxTerminal))
      ->type_name("N");
  app->add_option("-i,--interval", typed.interval,
                  format("pause after each round, at least 0.2 (default 1)"))
      ->type_name("SECONDS");
  app->add_option("-W,--timeout", typed.timeout, "wait for an answer, at least 0.1 (default 5)")
      ->type_name("SECONDS");
  app->add_flag("--paced", options.request.paced,
                "send a request every -i seconds whatever came back, several awaiting their answers at once "
                "(as ping does); udp, raw and icmp only");
  app->add_option("--max-loss", typed.maxLoss,
                  "fail a run that lost more than PERCENT of its requests, 0 to 100 (default 100)")
      ->type_name("PERCENT");
  app->add_option("-I,--interface", typed.interface,
                  "send through interface NAME (SO_BINDTODEVICE, needs CAP_NET_RAW), or from ADDRESS, one of "
                  "this host's (the route stays the routing table's)")
      ->type_name("NAME|ADDRESS");
  app->add_option("--ttl", typed.ttl, format("TTL (hop limit over IPv6) of the requests, %d to %d (default: the "
                                             "system's)", platform::MinHopLimit, platform::MaxHopLimit))
      ->type_name("N");
  app->add_option("--via", typed.vias,
                  "with --sweep, given two or more times: every type through each way out (NAME or ADDRESS, "
                  "as -I takes it), compared side by side; with --exporter, [LABEL=]WAY: a way a probe may "
                  "take with via=LABEL")
      ->type_name("[LABEL=]WAY")
      ->allow_extra_args(false);
  app->add_option("-Q,--tos", typed.tos,
                  "TOS / traffic class byte of the requests, 0 to 255 (DSCP 46 is 184), as ping -Q")
      ->type_name("N");
  app->add_flag_callback(
      "--no-account", [&options] { options.request.account = false; },
      "do not ask the server what it received after each run (see docs/account.md)");
  app->add_flag("--allow-via", typed.allowVia,
                "with --exporter: a probe's via= may name any interface or address of this host, not only "
                "a label of --via [LABEL=]WAY");
  app->add_flag("-q,--quiet", options.quiet, "print only the summary, or the sweep's matrix");
  app->add_flag("--json", options.json, "print the run or the sweep as one JSON document on stdout");
  app->add_flag("--sweep", options.sweep, "check every protocol type (or those given with -p)");
  app->add_flag("--trace", options.trace, "show where each type (or those of -p) stops, hop by hop");
  app->add_flag("--mtu", options.mtu,
                "find the largest request each type (or those of -p) carries with fragmentation forbidden");
  app->add_option("--max-hops", typed.maxHops, format("highest TTL of --trace, 1 to %d (default %d)", MostHops,
                                                     DefaultMaxHops))
      ->type_name("N");
  app->add_option("--probes", typed.probes, format("probes per hop and type of --trace, 1 to %d (default %d)",
                                                   MostProbesPerHop, DefaultProbesPerHop))
      ->type_name("K");
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

// A way out as typed for `option`; with a family forced (-4, -6) an address must be of that family,
// and an address forces its own family on a name that is looked up.
std::string takeWayOption(const std::string& option, const std::string& text, RunRequest& r, platform::WayOut& way) {
  const auto parsed = platform::parseWayOut(text);
  if (!parsed) return option + ": " + parsed.error().text;
  if (parsed->kind == platform::WayOut::Kind::Address) {
    const platform::Family family = parsed->address.family();
    const auto own = family == platform::Family::IPv4 ? platform::FamilyChoice::IPv4 : platform::FamilyChoice::IPv6;
    if (r.family != platform::FamilyChoice::Any && r.family != own) {
      return option + ": " + text + " is an " + platform::familyName(family) + " address, but " +
             (r.family == platform::FamilyChoice::IPv4 ? "-4" : "-6") + " asks for the other family";
    }
  }
  way = *parsed;
  return {};
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
    // With --mtu the size is the top of the search, and jumbo links carry more than 1500.
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
  if (given("--tos")) {
    const auto tos = parseWholeNumber(typed.tos, 0, 255);
    if (!tos) return "-Q/--tos must be a whole number from 0 to 255";
    r.tos = static_cast<int>(*tos);
  }
  if (given("--max-loss")) {
    const auto percent = parsePercent(typed.maxLoss);
    if (!percent) return "--max-loss must be a number of percent from 0 to 100";
    r.maxLossPercent = *percent;
  }
  for (const std::string& name : typed.protocols) {
    const ProtocolLookup found = lookUpProtocolType(name);
    if (!found.index) return "-p/--protocol: " + found.error;
    options.sweepTypes.push_back(*found.index);
  }
  const bool manyTypes = options.sweep || options.trace || options.mtu;
  if (!manyTypes && options.sweepTypes.size() > 1) {
    return "-p/--protocol may be given more than once only with --sweep, --trace or --mtu";
  }
  if (!manyTypes && !options.sweepTypes.empty()) {
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
  if (r.paced) {
    if (manyTypes) return "--paced is for a single run, not for --sweep, --trace or --mtu";
    const TestWay way = chooseTest(r.protocol(), r.protocolIndex);
    if (way == TestWay::EchoTcp) {
      return "--paced is for udp, raw and icmp: tcp keeps one request outstanding per connection";
    }
    if (way == TestWay::TerminalUdp) {
      return "--paced is for udp, raw and icmp: telm-udp is an exchange of four datagrams per round";
    }
  }
  if (given("--max-hops") || given("--probes")) {
    if (!options.trace) return "--max-hops and --probes are options of --trace";
  }
  if (given("--max-hops")) {
    const auto hops = parseWholeNumber(typed.maxHops, 1, MostHops);
    if (!hops) return format("--max-hops must be a whole number from 1 to %d", MostHops);
    options.maxHops = static_cast<int>(*hops);
  }
  if (given("--probes")) {
    const auto probes = parseWholeNumber(typed.probes, 1, MostProbesPerHop);
    if (!probes) return format("--probes must be a whole number from 1 to %d", MostProbesPerHop);
    options.probes = static_cast<int>(*probes);
  }
  if (options.trace && !options.sweep && (given("--count") || given("--interval"))) {
    return "-c/--count and -i/--interval have no meaning for --trace (see --max-hops, --probes, -W)";
  }
  if (options.trace && !typed.vias.empty()) return "--via cannot be combined with --trace";
  if (options.mtu && !options.sweep) {
    if (options.trace) return "--mtu and --trace go together only with --sweep";
    if (given("--count") || given("--interval")) return "-c/--count and -i/--interval have no meaning for --mtu";
  }
  if (options.mtu && !typed.vias.empty()) return "--via cannot be combined with --mtu";
  if (options.mtu && given("--ttl")) return "--ttl has no meaning for --mtu";
  if (options.trace && given("--ttl")) return "--ttl has no meaning for --trace, which sets the TTL of every probe";
  if (given("--ttl")) {
    const auto ttl = parseWholeNumber(typed.ttl, platform::MinHopLimit, platform::MaxHopLimit);
    if (!ttl) return format("--ttl must be a whole number from %d to %d", platform::MinHopLimit, platform::MaxHopLimit);
    r.way.hopLimit = static_cast<int>(*ttl);
  }
  if (given("--interface")) {
    const int hopLimit = r.way.hopLimit;
    if (const std::string problem = takeWayOption("-I/--interface", typed.interface, r, r.way); !problem.empty()) {
      return problem;
    }
    r.way.hopLimit = hopLimit;
    // An address sends in its own family: a name is looked up in that one.
    if (r.way.kind == platform::WayOut::Kind::Address && r.family == platform::FamilyChoice::Any) {
      r.family = r.way.address.family() == platform::Family::IPv4 ? platform::FamilyChoice::IPv4
                                                                  : platform::FamilyChoice::IPv6;
    }
  }
  if (typed.allowVia) return "--allow-via is for --exporter";
  if (!typed.vias.empty()) {
    if (!options.sweep) return "--via is for --sweep (one way out for a run is -I)";
    if (given("--interface")) return "--via and -I cannot be combined: name every way with --via";
    if (typed.vias.size() < 2) return "--via must be given at least twice (for one way out use -I)";
    for (const std::string& text : typed.vias) {
      platform::WayOut way;
      if (const std::string problem = takeWayOption("--via", text, r, way); !problem.empty()) return problem;
      way.hopLimit = r.way.hopLimit;
      options.vias.push_back(way);
    }
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
    if (option->count() > 0 && name != "--exporter" && name != "--log-dir" && name != "--console" &&
        name != "--via" && name != "--allow-via") {
      return "--exporter takes no other option but --log-dir, --via and --allow-via: each probe names its own "
             "target and protocol";
    }
  }
  // The ways out a probe may choose with via=, by label.
  for (const std::string& text : typed.vias) {
    auto labelled = platform::parseLabelledWay(text);
    if (!labelled) return "--via: " + labelled.error().text;
    for (const platform::LabelledWay& known : options.exporterWays) {
      if (known.label == labelled->label) return "--via: the label " + known.label + " is given twice";
    }
    options.exporterWays.push_back(std::move(*labelled));
  }
  options.allowAnyVia = typed.allowVia;
  if (typed.exporter.empty() || typed.exporter[0] == '-') return "--exporter needs [ADDRESS:]PORT";
  options.exporterListen = typed.exporter;
  if (app.get_option("--log-dir")->count() > 0) {
    if (typed.logDirectory.empty()) return "--log-dir needs a directory";
    options.logDirectory = typed.logDirectory;
  }
  return {};
}

}  // namespace

std::optional<double> parsePercent(const std::string& text) {
  if (text.empty() || text.size() > 16 || text.find_first_not_of("0123456789.") != std::string::npos ||
      text.find('.') != text.rfind('.') || text == ".") {
    return std::nullopt;
  }
  double percent = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), percent);
  if (error != std::errc() || end != text.data() + text.size() || percent > 100.0) return std::nullopt;
  return percent;
}

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

std::string wayOutRefusal(const ClientOptions& options) {
  const bool vias = !options.vias.empty() || !options.exporterWays.empty();
  const std::string option = vias ? "--via" : "-I/--interface";
  std::vector<platform::WayOut> ways = options.vias;
  for (const platform::LabelledWay& labelled : options.exporterWays) ways.push_back(labelled.way);
  if (ways.empty()) ways.push_back(options.request.way);
  for (const platform::WayOut& way : ways) {
    if (const std::string problem = platform::wayOutProblem(way); !problem.empty()) return option + ": " + problem;
  }
  return {};
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
