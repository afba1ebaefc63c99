// The client's command line.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "client/run_parameters.h"

namespace connchk::client {

struct ClientOptions {
  RunRequest request;
  bool console = false;        // --console: terminal mode even where a window could open
  std::string logDirectory;    // --log-dir: the log file's folder; empty: beside the executable
  bool listProtocols = false;
  bool help = false;
  bool version = false;
};

struct ClientOptionsParse {
  std::optional<ClientOptions> options;
  std::string error;  // names the option and what it allows, when options is empty
};

ClientOptionsParse parseClientOptions(const std::vector<std::string>& args);

std::string clientUsage();
std::string protocolListing();

inline constexpr const char* ClientVersionText = "client Version 1.0";

}  // namespace connchk::client
