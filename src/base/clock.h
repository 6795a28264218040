// The time the pool client and the executor read, behind one small
// interface so tests can move it by hand: a monotonic time for time-outs,
// keep-alives and timer ticks, the wall time in 100-ns ticks since 1970 for
// the statistics, and a wait that ends at a deadline of this clock. The
// program uses system_clock(); tests pass their own. Any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace base {

constexpr int64_t kTicksPerSecond = 10'000'000;

class clock {
 public:
  using time_point = std::chrono::steady_clock::time_point;
  using duration = std::chrono::steady_clock::duration;

  virtual ~clock() = default;

  // Monotonic time: durations and deadlines.
  virtual time_point now() const = 0;
  // Wall time: 100-ns ticks since 1970, turned into whole seconds by
  // dividing by kTicksPerSecond.
  virtual int64_t ticks() const = 0;
  // With `lock` held on the mutex that guards what `done` reads, waits on
  // `signal` until done() holds or now() reaches `deadline`; returns done().
  // Whoever makes done() true notifies `signal` after taking that mutex.
  virtual bool wait_until(std::unique_lock<std::mutex>& lock, std::condition_variable& signal,
                          time_point deadline, const std::function<bool()>& done) const = 0;
};

// The system's steady and wall clocks. Stateless; lives for the process.
clock& system_clock();

}  // namespace base
