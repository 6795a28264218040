#include "monitor/temperature_guard.h"

#include <atomic>

#include "base/printer.h"
#include "monitor/gpu_monitor.h"

namespace monitor {
namespace {

constexpr uint32_t kMaxFlags = 256;
constexpr uint64_t kCheckIntervalMs = 1000;

std::atomic<bool>& paused_flag(uint32_t ordinal) {
  static std::atomic<bool> flags[kMaxFlags];
  return flags[ordinal % kMaxFlags];
}

}  // namespace

temperature_guard::temperature_guard(uint32_t ordinal, double limit_c, double resume_c)
    : ordinal_(ordinal), limit_c_(limit_c), resume_c_(resume_c),
      // A thread started again (an algorithm switch) keeps its GPU's pause.
      paused_(limit_c > 0 && GpuPaused(ordinal)) {}

bool temperature_guard::check(uint64_t now_ms) {
  if (limit_c_ <= 0) return false;
  if (checked_ && now_ms - last_check_ms_ < kCheckIntervalMs) return paused_;
  checked_ = true;
  last_check_ms_ = now_ms;
  const float celsius = GetTemperature(ordinal_);
  const bool readable = celsius > -1.0f;
  if (!paused_ && readable && celsius >= limit_c_) {
    paused_ = true;
    if (ordinal_ < kMaxFlags) paused_flag(ordinal_).store(true);
    base::printer::inst().print_leveled(base::kEvent, "GPU%u: %.0f\u00b0C reached the limit, paused", ordinal_,
                                       static_cast<double>(celsius));
  } else if (paused_ && readable && celsius <= resume_c_) {
    paused_ = false;
    if (ordinal_ < kMaxFlags) paused_flag(ordinal_).store(false);
    base::printer::inst().print_leveled(base::kEvent, "GPU%u: %.0f\u00b0C, resumed", ordinal_,
                                       static_cast<double>(celsius));
  }
  return paused_;
}

bool GpuPaused(uint32_t ordinal) { return ordinal < kMaxFlags && paused_flag(ordinal).load(); }

void ClearGpuPaused() {
  for (uint32_t i = 0; i < kMaxFlags; ++i) paused_flag(i).store(false);
}

void WarnGpusWithoutSensor(const std::vector<uint32_t>& ordinals, double limit_c) {
  if (limit_c <= 0) return;
  for (uint32_t ordinal : ordinals) {
    if (GetTemperature(ordinal) > -1.0f) continue;
    base::printer::inst().print_leveled(base::kEvent,
                                       "GPU%u has no temperature sensor: --temp-limit %.0f does not protect it",
                                       ordinal, limit_c);
  }
}

}  // namespace monitor
