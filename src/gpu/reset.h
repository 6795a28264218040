// GPU reset: tears down and rebuilds all OpenCL objects of one GPU, keeping
// its nonce counter. Runs on the GPU's mining thread between rounds, or on
// the executor thread while no mining thread runs.
#pragma once

#include "base/status.h"
#include "gpu/gpu_context.h"

namespace gpu {

// ok, or kDeviceError when no new context could be made; other failures
// are printed and leave the GPU without usable queues (its rounds then fail
// loudly).
base::status ReInitOpenCLGpu(GpuContext& ctx);

}  // namespace gpu
