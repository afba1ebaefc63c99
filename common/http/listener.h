// What the two HTTP endpoints (the server's metrics, the client's probe exporter) share: the
// "[ADDRESS:]PORT" option they listen on, and civetweb's own words when it cannot start.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/platform/result.h"

struct CivetCallbacks;
struct mg_connection;

namespace connchk::http {

struct ListenAddress {
  std::string address;  // dotted IPv4 address; empty for every address of the host
  std::uint16_t port = 0;

  // The text civetweb takes as "listening_ports": "PORT" or "ADDRESS:PORT".
  std::string listeningPorts() const;
};

// "PORT" or "ADDRESS:PORT", ADDRESS a dotted IPv4 address and PORT 1 to 65535. Anything else
// (host names, IPv6, civetweb's own suffixes and lists) is refused with `error` saying why.
platform::Result<ListenAddress> parseListenAddress(const std::string& text);

// How long a connection may take to send its whole request: one that sends nothing, or trickles
// its request, holds a worker thread no longer than this (civetweb's own default is 30 s).
inline constexpr int RequestTimeoutMs = 1500;

// civetweb's options for an endpoint on `address` served by `threads` worker threads: no
// keep-alive (a connection serves one request), and RequestTimeoutMs for reading and writing.
std::vector<std::string> endpointOptions(const ListenAddress& address, int threads);

// The socket civetweb serves `connection` on (while its handler runs), found among this
// process's descriptors by its two addresses, so that the handler can watch for the client
// leaving; -1 when it cannot be found.
int connectionSocket(const mg_connection* connection);

// Callbacks for a civetweb server (made directly or through prometheus-cpp's Exposer) that keep
// what civetweb says, so that a failed start can tell why. At most 1 KiB is kept.
const CivetCallbacks* keepingCallbacks();

// Runs `start`, which makes a civetweb server with keepingCallbacks(). When it throws, false with
// civetweb's reason in `error`, for instance "cannot bind to 127.0.0.1:9100: 98 (Address already
// in use)". Starts are serialised. The server's threads start with every signal blocked, so that
// signals reach the program's own handling whatever thread the kernel picks.
platform::Status startListening(const std::function<void()>& start);

}  // namespace connchk::http
