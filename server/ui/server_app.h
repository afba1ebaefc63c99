// The server's window mode: the application object and the ServerDialog, run until it closes.
#pragma once

namespace connchk::server {
class MetricsEndpoint;
struct ServerSettings;
}

namespace connchk::server::ui {

// Runs the window with the services; the program ends when it closes. `metrics`, when given,
// serves the services' counters meanwhile.
int runServerWindow(int argc, char** argv, const ServerSettings& settings, MetricsEndpoint* metrics = nullptr);

}  // namespace connchk::server::ui
