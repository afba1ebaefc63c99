// The client program: the window where a display is available, the terminal mode otherwise.
#include <cstdio>
#include <string>
#include <vector>

#include "client/console.h"
#include "client/console_options.h"
#include "client/exporter.h"
#include "common/activity_log.h"
#include "common/log_directory.h"
#include "common/platform/signals.h"
#ifdef CHECKER_WITH_GUI
#include "client/ui/client_app.h"
#include "common/ui/display.h"
#endif

int main(int argc, char** argv) {
  using namespace connchk::client;
  connchk::platform::keepStandardDescriptorsOpen();
  const std::vector<std::string> args(argv + 1, argv + argc);
  const ClientOptionsParse parsed = parseClientOptions(args);
  if (!parsed.options) {
    std::fprintf(stderr, "client: %s\n", parsed.error.c_str());
    return 2;
  }
  const ClientOptions& options = *parsed.options;
  if (options.help) {
    std::fputs(clientUsage().c_str(), stdout);
    return 0;
  }
  if (options.version) {
    std::puts(ClientVersionText);
    return 0;
  }
  if (options.listProtocols) {
    std::fputs(protocolListing().c_str(), stdout);
    return 0;
  }
  // The exporter runs unattended: a log it cannot keep stops it at start.
  const auto need = options.exporterListen.empty() ? connchk::LogFolderNeed::Usual : connchk::LogFolderNeed::Unattended;
  if (!connchk::chooseLogDirectory("client", options.logDirectory, connchk::ClientLogFileName, need)) return 2;
  if (!options.exporterListen.empty()) return runProbeExporter(options.exporterListen);
#ifdef CHECKER_WITH_GUI
  if (!options.terminalMode()) {
    const std::string problem = connchk::ui::displayProblem();
    if (problem.empty()) return ui::runClientWindow(argc, argv);
    std::fprintf(stderr, "client: %s\n", problem.c_str());
  }
#endif
  return runClientConsole(options);
}
