#include "monitor/temperature_guard.h"

#include "base/printer.h"

namespace monitor {
namespace {

constexpr uint64_t kCheckIntervalMs = 1000;

}  // namespace

temperature_guard::temperature_guard(uint32_t ordinal, double limit_c, double resume_c,
                                     const gpu_monitor* sensors, bool paused)
    : ordinal_(ordinal), limit_c_(limit_c), resume_c_(resume_c), sensors_(sensors),
      paused_(limit_c > 0 && paused) {}

bool temperature_guard::check(uint64_t now_ms) {
  if (limit_c_ <= 0) return false;
  if (checked_ && now_ms - last_check_ms_ < kCheckIntervalMs) return paused_;
  checked_ = true;
  last_check_ms_ = now_ms;
  const float celsius = sensors_ != nullptr ? sensors_->temperature(ordinal_) : -1.0f;
  const bool readable = celsius > -1.0f;
  if (!paused_ && readable && celsius >= limit_c_) {
    paused_ = true;
    base::printer::inst().print_leveled(base::kEvent, "GPU%u: %.0f\u00b0C reached the limit, paused", ordinal_,
                                       static_cast<double>(celsius));
  } else if (paused_ && readable && celsius <= resume_c_) {
    paused_ = false;
    base::printer::inst().print_leveled(base::kEvent, "GPU%u: %.0f\u00b0C, resumed", ordinal_,
                                       static_cast<double>(celsius));
  }
  return paused_;
}

void WarnGpusWithoutSensor(const gpu_monitor& sensors, const std::vector<uint32_t>& ordinals,
                           double limit_c) {
  if (limit_c <= 0) return;
  for (uint32_t ordinal : ordinals) {
    if (sensors.temperature(ordinal) > -1.0f) continue;
    base::printer::inst().print_leveled(base::kEvent,
                                       "GPU%u has no temperature sensor: --temp-limit %.0f does not protect it",
                                       ordinal, limit_c);
  }
}

}  // namespace monitor
