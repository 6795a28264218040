// Process-wide run flags shared by the keyboard loop, the signal handler and
// the hash-rate watchdog. Lock-free atomics: any thread, signal-safe.
#pragma once

#include <atomic>

namespace base {

// True while the program runs; cleared by 'q', SIGINT and SIGTERM.
extern std::atomic<bool> app_running;
// Set by 'r'; the first watchdog check that sees it resets its GPU and
// clears it.
extern std::atomic<bool> reset_request;

}  // namespace base
