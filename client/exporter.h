// The probe exporter as a program: `client --exporter [ADDRESS:]PORT [--log-dir DIR]` answers
// Prometheus' scrapes of /probe?target=HOST&protocol=TYPE by running that check at once (see
// exporter_http.h) and /metrics with its own figures, until Ctrl-C or a termination request.
#pragma once

#include <string>

namespace connchk::client {

// Serves until Ctrl-C or a termination request (exit status 0); 2 when it cannot listen. The log
// folder has been chosen before.
int runProbeExporter(const std::string& listenText);

}  // namespace connchk::client
