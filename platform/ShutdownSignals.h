// The question whether the user session may end arrives on this platform as SIGTERM, SIGINT or SIGHUP.
// They are blocked in every thread from the start of the process (threads and children inherit the
// mask; the process layer clears it for children) and taken synchronously, so the shutdown runs on the
// thread the application chooses instead of inside a signal handler.
#pragma once

#include <functional>

namespace ShutdownSignals {
// Blocks the three signals in the calling thread; call first thing in main, before any thread exists.
void Block();
// Waits until one of them arrives and returns its number.
int Wait();
// Starts a thread that waits for them and calls onSignal for each (with a window, the callback hands
// the work to the GUI thread).
void Watch(std::function<void(int)> onSignal);
}  // namespace ShutdownSignals
