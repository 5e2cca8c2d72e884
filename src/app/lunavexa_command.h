// The lunavexa command: runs the app headless (launch with a home folder, a bundle and the host map),
// waits until a tab set is installed, then plays a screen's part (loads one page and prints the rows the
// store holds with the refresh line), or prints the store or the settings offline, or serves page and
// control lines from standard input. Results on standard output, progress and errors on standard error.
//
// Threads: main thread (it runs the application main loop).
#pragma once

namespace lv {

// Exit codes: 0 success, 1 failure (request, store, home folder), 2 usage, 128 + the signal when SIGINT
// or SIGTERM ended the app.
int lunavexaCommand(int argc, char** argv);

}  // namespace lv
