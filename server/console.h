// The server's terminal mode: the services run, every log line and every new statistics line is
// printed, and Ctrl-C or a termination request ends the program as the window's exit does.
#pragma once

namespace connchk::server {

inline constexpr const char* StatisticsMark = "Статистика: ";

class MetricsEndpoint;

// `metrics`, when given, serves the services' counters from now on.
struct ServerSettings;

int runServerConsole(const ServerSettings& settings, MetricsEndpoint* metrics = nullptr);

}  // namespace connchk::server
