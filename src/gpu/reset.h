// GPU reset: tears down and rebuilds all OpenCL objects of one GPU, keeping
// its nonce counter. Runs on the GPU's mining thread between rounds, or on
// the executor thread while no mining thread runs.
#pragma once

#include "base/status.h"
#include "gpu/gpu_context.h"

namespace gpu {

// ok, or the failure of the step that could not be redone (a new context,
// the device checks, the program, the queues), printed, followed by "Error
// UNKNOWN_ERROR calling ReInitOpenCLGpu." when the re-initialisation
// failed. After a failure the GPU holds no OpenCL objects but its context
// (none when that failed) and must not be given rounds: its mining thread
// parks it. The outcome is also kept in ctx.reset_status.
base::status ReInitOpenCLGpu(GpuContext& ctx);

// Waits for the GPU's queues and releases every OpenCL object of the record
// (queues, buffers, kernels, program, context); the record stays reusable.
// The thread that owns the record, with its mining thread stopped.
void ReleaseGpu(GpuContext& ctx);

}  // namespace gpu
