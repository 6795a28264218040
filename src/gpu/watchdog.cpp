#include "gpu/watchdog.h"

#include "app/config.h"
#include "app/printer.h"
#include "app/run_flags.h"
#include "gpu/launch.h"
#include "gpu/reset.h"
#include "gpu/mine_thread.h"

namespace gpu {
namespace {

constexpr int32_t kWarmUpChecks = 12;
constexpr int32_t kLowChecksBeforeReset = 6;  // a reset needs seven in a row
constexpr double kLowRatio = 0.95;

}  // namespace

bool CheckHashRate(mine_thread& t) {
  if (!app::cfg().rate_watchdog) return false;
  if (t.watchdog_countdown > 0) {
    --t.watchdog_countdown;
  } else {
    const double current = t.owner->rates().current_rate(t.number);
    const double average = t.owner->rates().average_rate(t.number);
    if (current <= kLowRatio * average)
      ++t.low_count;
    else
      t.low_count = 0;
  }
  // Only one GPU acts on a reset request: the first to clear the flag.
  bool requested = app::reset_request.load();
  if (!requested && t.low_count <= kLowChecksBeforeReset) return false;
  if (requested && !app::reset_request.exchange(false) && t.low_count <= kLowChecksBeforeReset)
    return false;
  app::reset_request.store(false);
  t.watchdog_countdown = kWarmUpChecks;
  t.low_count = 0;
  app::printer::inst().print_leveled(app::kEvent, "GPU%i Hash Rate Drop Detected ...",
                                     static_cast<int>(t.gpu->ordinal));
  ReInitOpenCLGpu(*t.gpu);
  for (GpuQueue& queue : t.gpu->queues) queue.input_dirty.store(true);
  app::printer::inst().print_leveled(app::kStatus, "GPU%i Kernel Resetted.",
                                     static_cast<int>(t.gpu->ordinal));
  return true;
}

}  // namespace gpu
