// Wall-clock times as the pool client and the executor keep them: 100-ns
// ticks of the system clock since 1970, turned into whole seconds by
// dividing by kTicksPerSecond. Pure functions; any thread.
#pragma once

#include <chrono>
#include <cstdint>

namespace base {

constexpr int64_t kTicksPerSecond = 10'000'000;

// A source of tick times; tests substitute their own.
using tick_source = int64_t (*)();

inline int64_t now_ticks() {
  using ticks = std::chrono::duration<int64_t, std::ratio<1, kTicksPerSecond>>;
  return std::chrono::duration_cast<ticks>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace base
