// The server's command line: what the operator may set, checked before anything starts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "server/log_bounds.h"

namespace connchk::server {

// The terminal numbers the terminal exchange accepts: each binds port 855 + N while its exchange
// lasts, so the range says which ports a remote peer may make the server hold.
struct TerminalRange {
  std::uint32_t first = 1;
  std::uint32_t last = 999;
  bool contains(std::uint32_t terminal) const { return terminal >= first && terminal <= last; }
};

// What the services are told at start-up (see ServerContext).
struct ServerSettings {
  LogBounds log;
  TerminalRange terminals;
};

struct ServerOptions {
  bool console = false;
  bool help = false;
  bool version = false;
  std::string logDirectory;
  std::optional<std::string> metricsAt;  // [ADDRESS:]PORT
  ServerSettings settings;
};

struct ServerOptionsParse {
  std::optional<ServerOptions> options;  // none: `error` says why (exit status 2)
  std::string error;
};

// `args` without the program's name.
ServerOptionsParse parseServerOptions(const std::vector<std::string>& args);
std::string serverUsage();

// "FROM-TO" with 1 <= FROM <= TO <= 64680 (port 855 + TO is at most 65535).
std::optional<TerminalRange> parseTerminalRange(const std::string& text);

}  // namespace connchk::server
