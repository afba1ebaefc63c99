// The server's window mode: the application object and the ServerDialog, run until it closes.
#pragma once

namespace connchk::server::ui {

// Runs the window with the services; the program ends when it closes.
int runServerWindow(int argc, char** argv);

}  // namespace connchk::server::ui
