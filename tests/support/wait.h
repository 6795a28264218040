// Bounded waits for conditions that no notification announces (counters
// of another thread, a socket's outstanding requests). Test thread only.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace support {

// Looks at `condition` until it holds (true) or `timeout` of real time
// passed (false). It looks every millisecond: the wait ends as soon as the
// condition holds, never after a fixed time.
inline bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace support
