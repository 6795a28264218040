#include "gpu/reset.h"

#include <chrono>
#include <thread>

#include "base/printer.h"
#include "gpu/cl_call.h"
#include "gpu/discovery.h"
#include "gpu/launch.h"

namespace gpu {

base::status ReInitOpenCLGpu(GpuContext& ctx) {
  const uint64_t nonce_counter = ctx.nonce_counter;
  for (int q = 0; q < kMaxQueues; ++q) {
    GpuQueue& queue = ctx.queues[q];
    // Queues beyond the count are empty; a count that shrank with a new
    // table still has its old queues to release.
    if (queue.queue != nullptr) clFinish(queue.queue);
    ReleaseQueue(queue);
  }
  if (ctx.program != nullptr) clReleaseProgram(ctx.program);
  ctx.program = nullptr;
  if (ctx.context != nullptr) clReleaseContext(ctx.context);
  ctx.context = nullptr;
  // Give the driver a moment to free the memory before it is asked again.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));

  cl_int status = CL_SUCCESS;
  ctx.context = clCreateContext(nullptr, 1, &ctx.device, nullptr, nullptr, &status);
  if (base::status s = ClStatus(status, "Error %s calling clCreateContext"); !s) {
    ctx.context = nullptr;
    return s;
  }
  // The failure has been printed; the line that follows names no OpenCL
  // code (there is none at this level), as it always has.
  if (!InitOpenCLGpu(ctx, false, false)) {
    base::printer::inst().print_error("Error UNKNOWN_ERROR calling ReInitOpenCLGpu.");
  }
  ctx.nonce_counter = nonce_counter;
  return base::status::ok();
}

}  // namespace gpu
