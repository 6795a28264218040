#include "gpu/watchdog.h"

#include "base/printer.h"
#include "base/run_flags.h"
#include "gpu/reset.h"

namespace gpu {
namespace {

constexpr int32_t kWarmUpChecks = 12;
constexpr int32_t kLowChecksBeforeReset = 6;  // a reset needs seven in a row
constexpr double kLowRatio = 0.95;

}  // namespace

bool HashRateDropped(int32_t& countdown, int32_t& low_count, double current, double average,
                     std::atomic<bool>& reset_request) {
  if (countdown > 0) {
    --countdown;
  } else if (current <= kLowRatio * average) {
    ++low_count;
  } else {
    low_count = 0;
  }
  const bool dropped = low_count > kLowChecksBeforeReset;
  // exchange() lets exactly one of several checking threads take a request.
  const bool requested = reset_request.load() && reset_request.exchange(false);
  if (!dropped && !requested) return false;
  countdown = kWarmUpChecks;
  low_count = 0;
  return true;
}

bool CheckHashRate(GpuContext& gpu, int32_t& countdown, int32_t& low_count, double current,
                   double average, base::status& reset) {
  if (!HashRateDropped(countdown, low_count, current, average, base::reset_request)) return false;
  base::printer::inst().print_leveled(base::kEvent, "GPU%i Hash Rate Drop Detected ...",
                                     static_cast<int>(gpu.ordinal));
  reset = ReInitOpenCLGpu(gpu);
  if (!reset) return true;
  for (GpuQueue& queue : gpu.queues) queue.input_dirty.store(true);
  base::printer::inst().print_leveled(base::kStatus, "GPU%i Kernel Resetted.",
                                     static_cast<int>(gpu.ordinal));
  return true;
}

}  // namespace gpu
