#pragma once
// Program entry.
namespace basMain {

// Refuses a second instance from the same folder; otherwise loads and starts the main window
// and runs the event loop. Returns the program's exit code.
int Main();

} // namespace basMain
