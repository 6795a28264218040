// The hash-rate watchdog: resets a GPU whose recent hash rate stays at or
// below 95 % of its average, or the first GPU that checks after the user
// pressed 'r'. Runs on the GPU's own mining thread between rounds.
#pragma once

namespace gpu {

struct mine_thread;

// True when it has just reset the GPU (the caller restarts its pacing).
bool CheckHashRate(mine_thread& thread);

}  // namespace gpu
