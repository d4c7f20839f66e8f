// The signals a desktop ends a program with (SIGTERM at log-out or shut-down, SIGHUP when
// its terminal or session goes, SIGINT from Ctrl+C) end the updater the way its Finish
// button does: each becomes a close request of the open windows on the UI thread, innermost
// first, so that the main window's teardown stops the run and closes the firewall again.
#pragma once

namespace qtdialog {

// Installs the handlers; call once, after the QApplication exists. A signal that was ignored
// when the program started (nohup, a background job) stays ignored. The close requests are
// made once the UI thread runs an event loop, and repeated every 100 ms until no window is
// open, for windows that open or end meanwhile.
void CloseWindowsOnTerminationSignals();

}  // namespace qtdialog
