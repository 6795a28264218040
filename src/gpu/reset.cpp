#include "gpu/reset.h"

#include <chrono>
#include <thread>

#include "base/printer.h"
#include "gpu/cl_call.h"
#include "gpu/discovery.h"
#include "gpu/launch.h"

namespace gpu {
namespace {

void ReleaseQueues(GpuContext& ctx) {
  for (GpuQueue& queue : ctx.queues) {
    // Queues beyond the count are empty; a count that shrank with a new
    // table still has its old queues to release.
    if (queue.queue != nullptr) clFinish(queue.queue);
    ReleaseQueue(queue);
  }
}

base::status Rebuild(GpuContext& ctx) {
  ReleaseGpu(ctx);
  // Give the driver a moment to free the memory before it is asked again.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));

  cl_int status = InjectedFault(ctx, cl_step::create_context);
  if (status == CL_SUCCESS) {
    cl_context created = clCreateContext(nullptr, 1, &ctx.device, nullptr, nullptr, &status);
    ctx.context = status == CL_SUCCESS ? created : nullptr;
  }
  if (base::status s = ClStatus(status, "Error %s calling clCreateContext"); !s) return s;
  base::status s = InitOpenCLGpu(ctx, false, false);
  if (!s) {
    // The failing step has printed its line; this one names no OpenCL code
    // (there is none at this level), as it always has. What the failed
    // set-up made is released: the GPU is not to be run half built.
    base::printer::inst().print_error("Error UNKNOWN_ERROR calling ReInitOpenCLGpu.");
    ReleaseQueues(ctx);
    ctx.program.reset();
  }
  return s;
}

}  // namespace

void ReleaseGpu(GpuContext& ctx) {
  ReleaseQueues(ctx);
  // Joins the height programs' builder before the context goes.
  ctx.heights.reset();
  ctx.program.reset();
  ctx.context.reset();
}

base::status ReInitOpenCLGpu(GpuContext& ctx) {
  const uint64_t nonce_counter = ctx.nonce_counter;
  ctx.reset_status = Rebuild(ctx);
  ctx.nonce_counter = nonce_counter;
  return ctx.reset_status;
}

}  // namespace gpu
