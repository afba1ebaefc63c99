// The client's window mode: the application object and the ClientDialog, run until it closes.
#pragma once

namespace connchk::client::ui {

// Runs the window; the program ends when it closes, at once even while a run goes on.
int runClientWindow(int argc, char** argv);

}  // namespace connchk::client::ui
