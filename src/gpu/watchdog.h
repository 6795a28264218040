// The hash-rate watchdog: resets a GPU whose recent hash rate stays at or
// below 95 % of its average, or the first GPU that checks after the user
// pressed 'r'. Runs on the GPU's own mining thread between rounds; the
// counters belong to that thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/status.h"
#include "gpu/gpu_context.h"

namespace gpu {

// The decision alone: counts down the warm-up, then counts low rates in a
// row; true when the GPU is to be reset (and then restarts both counts). Of
// several threads seeing the reset request, exactly one acts on it.
bool HashRateDropped(int32_t& countdown, int32_t& low_count, double current, double average,
                     std::atomic<bool>& reset_request);

// The decision for the process-wide reset request and, when it says so, the
// reset of gpu with its notices. True when it has just reset the GPU (the
// caller restarts its pacing); `reset` then holds the reset's outcome, and
// a failed one leaves the GPU unusable (ReInitOpenCLGpu).
bool CheckHashRate(GpuContext& gpu, int32_t& countdown, int32_t& low_count, double current,
                   double average, base::status& reset);

}  // namespace gpu
