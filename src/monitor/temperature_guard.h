// The temperature guard (--temp-limit, --temp-resume): a GPU whose sensor
// reaches the limit is paused until it has cooled to the resume value. Each
// mining thread owns the guard of its GPU; the backend tells the statistics
// whether it is paused.
#pragma once

#include <cstdint>
#include <vector>

#include "monitor/gpu_monitor.h"

namespace monitor {

class temperature_guard {
 public:
  // limit_c 0 turns the guard off; resume_c must be below limit_c. The
  // guard reads the GPU's temperature from `sensors` (which must outlive
  // it) and starts `paused` when the GPU was paused by the guard before it
  // (a thread started again keeps its GPU's pause).
  temperature_guard() = default;
  temperature_guard(uint32_t ordinal, double limit_c, double resume_c, const gpu_monitor* sensors,
                    bool paused = false);

  // Reads the GPU's sensor at most once a second (now_ms: a monotonic clock)
  // and returns whether the GPU must stay paused. Prints a line on each
  // change. A GPU without a reading is never paused; one that loses its
  // reading while paused stays paused until it reads cool.
  bool check(uint64_t now_ms);
  bool paused() const { return paused_; }

 private:
  uint32_t ordinal_ = 0;
  double limit_c_ = 0;
  double resume_c_ = 0;
  const gpu_monitor* sensors_ = nullptr;
  bool paused_ = false;
  bool checked_ = false;
  uint64_t last_check_ms_ = 0;
};

// With a limit set: one warning for each GPU whose temperature cannot be
// read, as the limit does not protect it.
void WarnGpusWithoutSensor(const gpu_monitor& sensors, const std::vector<uint32_t>& ordinals,
                           double limit_c);

}  // namespace monitor
