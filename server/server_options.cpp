#include "server/server_options.h"

#include <CLI/CLI.hpp>

#include <charconv>
#include <memory>

#include "common/text_format.h"
#include "server/request_rules.h"

namespace connchk::server {
namespace {

constexpr const char* Usage =
    "Usage: server [--console] [--log-dir DIR] [--metrics [ADDRESS:]PORT]\n"
    "              [--log-rate N] [--log-keep-free SIZE] [--terminals FROM-TO]\n"
    "       server --help | --version\n"
    "\n"
    "Answers the connection checker's test requests: UDP and TCP echo on port 87, the terminal\n"
    "exchange on UDP port 855, raw IP protocols 53, 55, 56, 110-117 and ICMP, over IPv4 and IPv6\n"
    "(ICMPv6). Every log line is printed and appended to server_log.txt beside the executable,\n"
    "or in DIR with --log-dir DIR (an existing folder the server may write); each new sender is\n"
    "printed as a line that starts with \"Статистика: \". Ctrl-C or SIGTERM ends the program;\n"
    "SIGHUP reopens the log file (for log rotation). In the terminal it exits 1 when no service\n"
    "could start.\n"
    "Without --console it opens its window; with no display (DISPLAY and WAYLAND_DISPLAY unset)\n"
    "it says so and runs in the terminal.\n"
    "\n"
    "--metrics serves the services' counters at http://ADDRESS:PORT/metrics for Prometheus\n"
    "(ADDRESS a dotted IPv4 address; every address of the host without it).\n"
    "\n"
    "A flood of requests cannot fill the disk: each service writes the lines of at most N\n"
    "requests a second (--log-rate, default 100); beyond that it answers and counts every request\n"
    "and writes, once a second, one line with how many it answered and how many were erroneous\n"
    "without their lines. While the log's disk has less free than SIZE (--log-keep-free, default\n"
    "the larger of 1G and 5%; a number of bytes with K, M, G or T, or a share such as 10%) no\n"
    "request lines are written; one line says so, and another when writing resumes. 0 turns\n"
    "either bound off.\n"
    "\n"
    "--terminals FROM-TO: the terminal numbers the terminal exchange serves (default 1-999, the\n"
    "client's range). Terminal N answers from UDP port 855 + N; a request for a number outside the\n"
    "range, or for a port another program holds or recently held, binds nothing and is erroneous.\n"
    "\n"
    "Ports below 1024 and raw sockets need root, or the capabilities cap_net_bind_service and\n"
    "cap_net_raw (see README).\n";

struct TypedValues {
  std::string logDirectory, metricsAt, logRate, keepFree, terminals;
};

std::unique_ptr<CLI::App> makeApp(ServerOptions& options, TypedValues& typed) {
  auto app = std::make_unique<CLI::App>("", "server");
  app->set_help_flag();
  app->add_flag("-h,--help", options.help);
  app->add_flag("--version", options.version);
  app->add_flag("--console", options.console);
  // As before, a later value of an option given twice wins.
  const auto last = CLI::MultiOptionPolicy::TakeLast;
  app->add_option("--log-dir", typed.logDirectory)->multi_option_policy(last);
  app->add_option("--metrics", typed.metricsAt)->multi_option_policy(last);
  app->add_option("--log-rate", typed.logRate)->multi_option_policy(last);
  app->add_option("--log-keep-free", typed.keepFree)->multi_option_policy(last);
  app->add_option("--terminals", typed.terminals)->multi_option_policy(last);
  return app;
}

// What each option needs, said when it is missing.
std::string needs(const std::string& option) {
  if (option == "--log-dir") return "--log-dir needs a folder";
  if (option == "--metrics") return "--metrics needs [ADDRESS:]PORT";
  if (option == "--log-rate") return "--log-rate needs a number of requests a second";
  if (option == "--log-keep-free") return "--log-keep-free needs a size";
  return option + " needs FROM-TO";
}

std::string plainParseError(const CLI::ParseError& error) {
  const std::string what = error.what();
  const auto colon = what.find(':');
  const std::string option = colon == std::string::npos ? std::string() : what.substr(0, colon);
  if (option.rfind("--", 0) == 0) return needs(option);
  if (what.rfind("The following argument", 0) == 0) {
    std::string first = what.substr(colon + 2);
    first = first.substr(0, first.find(' '));
    return "unknown option " + first + " (see --help)";
  }
  return what + " (see --help)";
}

std::optional<std::uint32_t> wholeNumber(const std::string& text, std::uint32_t high) {
  std::uint32_t value = 0;
  const char* const end = text.data() + text.size();
  const auto [rest, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || text.size() > 9 || error != std::errc() || rest != end || value > high) return std::nullopt;
  return value;
}

std::string applyValues(const TypedValues& typed, const std::function<bool(const char*)>& given, ServerOptions& options) {
  if (given("--log-dir")) {
    if (typed.logDirectory.empty()) return needs("--log-dir");
    options.logDirectory = typed.logDirectory;
  }
  if (given("--metrics")) {
    if (typed.metricsAt.empty()) return needs("--metrics");
    options.metricsAt = typed.metricsAt;
  }
  if (given("--log-rate")) {
    const auto rate = wholeNumber(typed.logRate, 1000000);
    if (!rate) return "--log-rate must be a whole number of requests a second from 0 (no bound) to 1000000";
    options.settings.log.ratePerSecond = *rate;
  }
  if (given("--log-keep-free")) {
    const auto keepFree = parseKeepFree(typed.keepFree);
    if (!keepFree) return "--log-keep-free must be 0, a size such as 500M or 2G, or a share of the disk such as 5%";
    options.settings.log.keepFree = *keepFree;
  }
  if (given("--terminals")) {
    const auto range = parseTerminalRange(typed.terminals);
    if (!range) return format("--terminals must be FROM-TO, terminal numbers from 1 to %u", LastTerminalNumber);
    options.settings.terminals = *range;
  }
  return {};
}

}  // namespace

std::optional<TerminalRange> parseTerminalRange(const std::string& text) {
  const auto dash = text.find('-');
  if (dash == std::string::npos) return std::nullopt;
  const auto first = wholeNumber(text.substr(0, dash), LastTerminalNumber);
  const auto last = wholeNumber(text.substr(dash + 1), LastTerminalNumber);
  if (!first || !last || *first < 1 || *first > *last) return std::nullopt;
  return TerminalRange{*first, *last};
}

ServerOptionsParse parseServerOptions(const std::vector<std::string>& args) {
  ServerOptions options;
  TypedValues typed;
  const auto app = makeApp(options, typed);
  std::vector<std::string> reversed(args.rbegin(), args.rend());  // CLI11 takes them last first
  try {
    app->parse(reversed);
  } catch (const CLI::ParseError& error) {
    return {std::nullopt, plainParseError(error)};
  }
  if (options.help || options.version) return {options, {}};
  const auto given = [&app](const char* name) { return app->get_option(name)->count() > 0; };
  if (std::string problem = applyValues(typed, given, options); !problem.empty()) return {std::nullopt, problem};
  return {options, {}};
}

std::string serverUsage() { return Usage; }

}  // namespace connchk::server
