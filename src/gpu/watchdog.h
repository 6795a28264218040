// The hash-rate watchdog: resets a GPU whose recent hash rate stays at or
// below 95 % of its average, or the first GPU that checks after the user
// pressed 'r'. Runs on the GPU's own mining thread between rounds.
#pragma once

#include <atomic>
#include <cstdint>

namespace gpu {

struct mine_thread;

// The decision alone: counts down the warm-up, then counts low rates in a
// row; true when the GPU is to be reset (and then restarts both counts). Of
// several threads seeing the reset request, exactly one acts on it.
bool HashRateDropped(int32_t& countdown, int32_t& low_count, double current, double average,
                     std::atomic<bool>& reset_request);

// True when it has just reset the GPU (the caller restarts its pacing).
bool CheckHashRate(mine_thread& thread);

}  // namespace gpu
