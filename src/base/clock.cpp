#include "base/clock.h"

namespace base {
namespace {

class real_clock final : public clock {
 public:
  time_point now() const override { return std::chrono::steady_clock::now(); }

  int64_t ticks() const override {
    using tick = std::chrono::duration<int64_t, std::ratio<1, kTicksPerSecond>>;
    return std::chrono::duration_cast<tick>(std::chrono::system_clock::now().time_since_epoch())
        .count();
  }

  bool wait_until(std::unique_lock<std::mutex>& lock, std::condition_variable& signal,
                  time_point deadline, const std::function<bool()>& done) const override {
    return signal.wait_until(lock, deadline, done);
  }
};

}  // namespace

clock& system_clock() {
  // Constant after construction: it keeps no state of its own.
  static real_clock instance;
  return instance;
}

}  // namespace base
