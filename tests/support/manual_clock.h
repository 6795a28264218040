// A clock that moves only when a test says so, for time-outs, keep-alives
// and timer ticks without waiting for them. now() and ticks() may be read
// from any thread; advance() from the test thread.
#pragma once

#include <atomic>
#include <chrono>

#include "base/clock.h"
#include "support/wait.h"

namespace support {

class manual_clock final : public base::clock {
 public:
  // Starts at `start_ticks` of wall time (100-ns ticks since 1970).
  explicit manual_clock(int64_t start_ticks = 1000 * base::kTicksPerSecond)
      : start_ticks_(start_ticks) {}

  // Monotonic time starts an hour after the steady clock's epoch, as a
  // running machine's does, so "an hour ago" is still a valid time.
  time_point now() const override {
    return time_point(std::chrono::hours(1) + duration(elapsed_.load()));
  }
  int64_t ticks() const override {
    using tick = std::chrono::duration<int64_t, std::ratio<1, base::kTicksPerSecond>>;
    return start_ticks_ + std::chrono::duration_cast<tick>(duration(elapsed_.load())).count();
  }
  // The waiter does not know when advance() runs, so it looks again every
  // millisecond of real time; done() still ends the wait at once.
  bool wait_until(std::unique_lock<std::mutex>& lock, std::condition_variable& signal,
                  time_point deadline, const std::function<bool()>& done) const override {
    while (!done() && now() < deadline) signal.wait_for(lock, std::chrono::milliseconds(1));
    return done();
  }

  void advance(duration by) { elapsed_.fetch_add(by.count()); }

 private:
  const int64_t start_ticks_;
  std::atomic<duration::rep> elapsed_{0};
};

// Moves `clock` by `step` at a time, giving the other threads a moment to
// act on each step, until `condition` holds (true) or `timeout` of real time
// passed (false). For waits on timers, time-outs and keep-alives.
inline bool advance_until(manual_clock& clock, base::clock::duration step,
                          const std::function<bool()>& condition,
                          std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!eventually(condition, std::chrono::milliseconds(1))) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    clock.advance(step);
  }
  return true;
}

}  // namespace support
