#include "client/console_options.h"

#include "client/protocol_catalogue.h"
#include "common/text_format.h"

namespace connchk::client {

namespace {
// "--name value" or "--name=value"; advances i past what it used.
std::optional<std::string> optionValue(const std::vector<std::string>& args, std::size_t& i,
                                       const std::string& name, std::string& error) {
  const std::string& arg = args[i];
  if (arg.size() > name.size() && arg.compare(0, name.size() + 1, name + "=") == 0) {
    return arg.substr(name.size() + 1);
  }
  if (i + 1 >= args.size()) {
    error = name + " needs a value";
    return std::nullopt;
  }
  return args[++i];
}

bool isOption(const std::string& arg, const std::string& name) {
  return arg == name || arg.rfind(name + "=", 0) == 0;
}
}  // namespace

ClientOptionsParse parseClientOptions(const std::vector<std::string>& args) {
  ClientOptions options;
  std::string error;
  bool haveAddress = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--console") {
      options.console = true;
    } else if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--version") {
      options.version = true;
    } else if (arg == "--list-protocols") {
      options.listProtocols = true;
    } else if (isOption(arg, "--size")) {
      const auto value = optionValue(args, i, "--size", error);
      if (!value) return {std::nullopt, error};
      const auto size = parseSize(*value);
      if (!size) return {std::nullopt, format("--size must be a whole number from %u to %u", MinPacketSize, MaxPacketSize)};
      options.request.size = *size;
    } else if (isOption(arg, "--count")) {
      const auto value = optionValue(args, i, "--count", error);
      if (!value) return {std::nullopt, error};
      const auto count = parseCountOption(*value);
      if (!count) return {std::nullopt, format("--count must be a whole number from 1 up, or \"%s\" or -1", InfiniteCountText)};
      options.request.count = *count;
    } else if (isOption(arg, "--protocol")) {
      const auto value = optionValue(args, i, "--protocol", error);
      if (!value) return {std::nullopt, error};
      const auto index = findProtocolType(*value);
      if (!index) return {std::nullopt, "--protocol must be a protocol type as --list-protocols shows it, or its index 0 to 14"};
      options.request.protocolIndex = *index;
      options.request.protocolNumber = ProtocolCatalogue()[static_cast<std::size_t>(*index)].number;
    } else if (isOption(arg, "--terminal")) {
      const auto value = optionValue(args, i, "--terminal", error);
      if (!value) return {std::nullopt, error};
      const auto terminal = parseTerminal(*value);
      if (!terminal) return {std::nullopt, format("--terminal must be a whole number from %d to %d", MinTerminal, MaxTerminal)};
      options.request.terminal = *terminal;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return {std::nullopt, "unknown option " + arg + " (see --help)"};
    } else if (haveAddress) {
      return {std::nullopt, "only one server address may be given"};
    } else {
      if (characterCount(arg) > MaxAddressLength) {
        return {std::nullopt, format("the server address may be at most %zu characters long", MaxAddressLength)};
      }
      options.request.address = arg;
      haveAddress = true;
    }
  }
  return {options, {}};
}

std::string clientUsage() {
  return format(
      "Usage: client [--console] [--size N] [--count TEXT] [--protocol TYPE] [--terminal N] [ADDRESS]\n"
      "       client --list-protocols | --help | --version\n"
      "\n"
      "Sends test requests to a connection-check server and prints the round trip of every answer.\n"
      "Every log line is printed and appended to client_log.txt beside the executable.\n"
      "Without --console it opens its window (the options below then apply to the terminal only);\n"
      "with no display (DISPLAY and WAYLAND_DISPLAY unset) it says so and runs in the terminal.\n"
      "\n"
      "  ADDRESS          server as dotted IPv4 address or host name (default %s)\n"
      "  --console        run in this terminal instead of opening the window\n"
      "  --size N         requested packet size in bytes, %u to %u (default 32)\n"
      "  --count TEXT     rounds: a number, or \"%s\" or -1 to run until Ctrl-C (default 1)\n"
      "  --protocol TYPE  protocol type by its exact text or list index (default IP-Клиент)\n"
      "  --terminal N     terminal number for TELM-UDP, %d to %d (default 1)\n"
      "  --list-protocols print the protocol types with their indices and numbers\n"
      "\n"
      "The first Ctrl-C stops the run after its current round; a second one ends the program.\n"
      "Exit status: 0 when at least one answer was accepted, 1 when none was,\n"
      "2 when the run could not start (bad option, socket, bind or connect failure, unknown address).\n",
      DefaultServerAddress, MinPacketSize, MaxPacketSize, InfiniteCountText, MinTerminal, MaxTerminal);
}

std::string protocolListing() {
  std::string out = "index  protocol number  type\n";
  const auto catalogue = ProtocolCatalogue();
  for (std::size_t i = 0; i < catalogue.size(); ++i) {
    out += format("%2zu  %3u  %s\n", i, catalogue[i].number, catalogue[i].text);
  }
  return out;
}

}  // namespace connchk::client
