#include "gpu/launch.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "crypto/algorithm.h"
#include "gpu/cl_call.h"
#include "gpu/kernel_table.h"
#include "gpu/program.h"

namespace gpu {
namespace {

constexpr uint32_t kHashStateBytes = 200;
constexpr uint32_t kOutputBytes = kResultWords * 4;
constexpr size_t kCountWordOffset = kResultCountWord * 4;

// Source of the zero words the rounds write; must outlive non-blocking
// writes, so it is static.
const cl_uint kZero = 0;

uint64_t NowMicros() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

cl_mem CreateBuffer(GpuContext& ctx, cl_mem_flags flags, uint64_t size, void* host,
                    const char* message) {
  cl_int status = CL_SUCCESS;
  cl_mem buffer = clCreateBuffer(ctx.context, flags, size, host, &status);
  if (ClFailed(status, message)) return nullptr;
  return buffer;
}

int CreateBuffers(GpuContext& ctx, GpuQueue& q) {
  const uint64_t n = q.threads;
  const cl_mem_flags device_only = CL_MEM_READ_WRITE | CL_MEM_HOST_NO_ACCESS;
  q.input_buffer = CreateBuffer(ctx, CL_MEM_READ_ONLY, kInputBytes, nullptr,
                                "Error %s calling clCreateBuffer input buffer.");
  if (q.input_buffer == nullptr) return 2;
  q.hash_states_buffer = CreateBuffer(ctx, device_only, HashStatesBufferBytes(n), nullptr,
                                      "Error %s calling clCreateBuffer hash states buffer.");
  if (q.hash_states_buffer == nullptr) return 2;
  const uint64_t half = ScratchpadBufferBytes(n, ctx.scratchpad_bytes);
  q.scratchpads_buffer = CreateBuffer(ctx, device_only, half, nullptr,
                                      "Error %s calling clCreateBuffer scratchpads buffer.");
  if (q.scratchpads_buffer == nullptr) return 2;
  q.hash_scratchpads_buffer = CreateBuffer(ctx, device_only, half, nullptr,
                                           "Error %s calling clCreateBufferhash scratchpads buffer.");
  if (q.hash_scratchpads_buffer == nullptr) return 2;
  static const char* const kBranchMessages[kHashKernelCount] = {
      "Error %s calling clCreateBuffer Branch 0 buffer.",
      "Error %s calling clCreateBuffer Branch 1 buffer.",
      "Error %s calling clCreateBuffer Branch 2 buffer.",
      "Error %s calling clCreateBuffer Branch 3 buffer.",
  };
  for (int i = 0; i < kHashKernelCount; ++i) {
    q.branch_buffers[i] =
        CreateBuffer(ctx, CL_MEM_READ_WRITE, BranchBufferBytes(n), nullptr, kBranchMessages[i]);
    if (q.branch_buffers[i] == nullptr) return 2;
  }
  q.output_buffer = CreateBuffer(ctx, CL_MEM_READ_WRITE, kOutputBytes, nullptr,
                                 "Error %s calling clCreateBuffer output buffer.");
  if (q.output_buffer == nullptr) return 2;
  q.run_buffer = CreateBuffer(ctx, CL_MEM_USE_HOST_PTR, sizeof(q.abort_flag), &q.abort_flag,
                              "Error %s calling clCreateBuffer run buffer.");
  return q.run_buffer == nullptr ? 2 : 0;
}

bool SetMemArg(cl_kernel kernel, cl_uint index, const cl_mem& buffer, const char* message,
               int number) {
  return !ClFailed(clSetKernelArg(kernel, index, sizeof(cl_mem), &buffer), message, number);
}

// Binds the arguments of the kernels of the GPU's scratchpad size and of
// the four final-hash kernels; the other families stay unbound.
int BindArguments(GpuContext& ctx, GpuQueue& q) {
  for (uint32_t k = 0; k < kQueueKernelCount; ++k) {
    if (kQueueKernelScratchpad[k] != ctx.scratchpad_bytes) continue;
    cl_kernel kernel = q.kernels[k];
    if (kQueueKernels[k].role == KernelRole::prepare) {
      if (ClFailed(clSetKernelArg(kernel, 0, sizeof(cl_mem), &q.input_buffer),
                   "Error %s calling clSetKernelArg kernel 0, argument 0.") ||
          ClFailed(clSetKernelArg(kernel, 1, sizeof(cl_mem), &q.scratchpads_buffer),
                   "Error %s calling clSetKernelArg kernel 0, argument 1.") ||
          ClFailed(clSetKernelArg(kernel, 2, sizeof(cl_mem), &q.hash_scratchpads_buffer),
                   "Error %s calling clSetKernelArg kernel 0, argument 1.") ||
          ClFailed(clSetKernelArg(kernel, 3, sizeof(cl_mem), &q.hash_states_buffer),
                   "Error %s calling clSetKernelArg kernel 0, argument 3.") ||
          ClFailed(clSetKernelArg(kernel, 4, sizeof(cl_mem), &q.run_buffer),
                   "Error %s calling clSetKernelArg kernel 0, argument 4.")) {
        return 2;
      }
    } else if (kQueueKernels[k].role == KernelRole::main) {
      const cl_mem args[4] = {q.scratchpads_buffer, q.hash_scratchpads_buffer,
                              q.hash_states_buffer, q.run_buffer};
      for (cl_uint a = 0; a < 4; ++a) {
        if (!SetMemArg(kernel, a, args[a], "Error %s calling clSetKernelArg kernel 1, argument %d.",
                       static_cast<int>(a))) {
          return 2;
        }
      }
    } else {  // collect
      const cl_mem args[8] = {q.scratchpads_buffer, q.hash_scratchpads_buffer,
                              q.hash_states_buffer, q.branch_buffers[0],
                              q.branch_buffers[1],  q.branch_buffers[2],
                              q.branch_buffers[3],  q.run_buffer};
      for (cl_uint a = 0; a < 8; ++a) {
        if (!SetMemArg(kernel, a, args[a], "Error %s calling clSetKernelArg kernel 3, argument %d.",
                       static_cast<int>(a))) {
          return 2;
        }
      }
    }
  }
  for (int i = 0; i < kHashKernelCount; ++i) {
    cl_kernel kernel = q.hash_kernels[i];
    if (!SetMemArg(kernel, 0, q.hash_states_buffer,
                   "Error %s calling clSetKernelArg kernel %d, argument 0.", i + 3) ||
        !SetMemArg(kernel, 1, q.branch_buffers[i],
                   "Error %s calling clSetKernelArg kernel %d, argument 1.", i + 3) ||
        !SetMemArg(kernel, 2, q.output_buffer,
                   "Error %s calling clSetKernelArg for kernel %d, argument 2.", i + 3)) {
      return 2;
    }
  }
  return 0;
}

// The launches' local sizes must be within what the device allows for each
// kernel of the current family (a driver may allow less than the device
// maximum for a large kernel); checked once instead of failing every round.
int CheckLocalSizes(GpuContext& ctx, GpuQueue& q) {
  auto check = [&](cl_kernel kernel, const char* name, size_t needed) {
    size_t allowed = 0;
    if (ClFailed(clGetKernelWorkGroupInfo(kernel, ctx.device, CL_KERNEL_WORK_GROUP_SIZE,
                                          sizeof(allowed), &allowed, nullptr),
                 "Error %s calling clGetKernelWorkGroupInfo for kernel %s.", name)) {
      return false;
    }
    if (allowed >= needed) return true;
    base::printer::inst().print_error("Error: kernel %s allows work groups of %zu, %zu needed.",
                                     name, allowed, needed);
    return false;
  };
  for (uint32_t k = 0; k < kQueueKernelCount; ++k) {
    if (kQueueKernelScratchpad[k] != ctx.scratchpad_bytes) continue;
    const size_t needed = kQueueKernels[k].local_items;
    if (!check(q.kernels[k], kQueueKernelNames[k], needed)) return 2;
  }
  for (int i = 0; i < kHashKernelCount; ++i) {
    if (!check(q.hash_kernels[i], kHashKernelNames[i], ctx.work_size)) return 2;
  }
  return 0;
}

template <typename T>
void Release(T& handle, cl_int (*release)(T)) {
  if (handle != nullptr) release(handle);
  handle = nullptr;
}

}  // namespace

bool KernelsForAlgorithm(uint32_t algorithm, KernelChoice& choice) {
  if (algorithm >= static_cast<uint32_t>(crypto::kAlgoCount)) return false;
  const int32_t id = static_cast<int32_t>(algorithm);
  choice.prepare = PrepareKernelIndex(id);
  choice.main = MainKernelIndex(id);
  choice.collect = CollectKernelIndex(id);
  choice.tweak_input = crypto::kAlgorithms[id].v7_shift != 0;
  return true;
}

uint32_t MainLocalSize(uint32_t algorithm) {
  // An id without a row keeps the kernels of the previous job (SetGpuJob)
  // and launches with the common local size.
  const crypto::algorithm_info* info = crypto::find_algorithm(static_cast<int32_t>(algorithm));
  return info != nullptr ? info->main_local_size : 8;
}

uint64_t ScratchpadBufferBytes(uint64_t hashes, uint64_t scratchpad_bytes) {
  return hashes * scratchpad_bytes / 2;
}

uint64_t BranchBufferBytes(uint64_t hashes) { return hashes * 4 + 8; }

uint64_t HashStatesBufferBytes(uint64_t hashes) { return hashes * kHashStateBytes; }

int SetupQueues(GpuContext& ctx, uint64_t hashes) {
  for (int q = 0; q < ctx.queue_count && q < kMaxQueues; ++q) {
    GpuQueue& queue = ctx.queues[q];
    queue.index = q;
    queue.threads = hashes;
    queue.results[kResultCountWord] = 0;
    queue.running = false;
    queue.input_dirty = false;
    SetAbortFlag(queue, false);
    queue.last_round_us = 0;
    cl_int status = CL_SUCCESS;
    queue.queue = clCreateCommandQueue(ctx.context, ctx.device, 0, &status);
    if (ClFailed(status, "Error %s calling clCreateCommandQueue.")) return 2;
    if (CreateBuffers(ctx, queue) != 0) return 2;
    if (CreateKernels(ctx, queue) != 0) return 2;
    if (CheckLocalSizes(ctx, queue) != 0) return 2;
    if (BindArguments(ctx, queue) != 0) return 2;
  }
  ctx.nonce_counter = 0;
  return 0;
}

void ReleaseQueue(GpuQueue& q) {
  Release(q.round_event, clReleaseEvent);
  Release(q.input_event, clReleaseEvent);
  for (cl_kernel& kernel : q.kernels) Release(kernel, clReleaseKernel);
  for (cl_kernel& kernel : q.hash_kernels) Release(kernel, clReleaseKernel);
  Release(q.scratchpads_buffer, clReleaseMemObject);
  Release(q.hash_scratchpads_buffer, clReleaseMemObject);
  for (cl_mem& buffer : q.branch_buffers) Release(buffer, clReleaseMemObject);
  Release(q.hash_states_buffer, clReleaseMemObject);
  Release(q.output_buffer, clReleaseMemObject);
  Release(q.input_buffer, clReleaseMemObject);
  Release(q.run_buffer, clReleaseMemObject);
  Release(q.queue, clReleaseCommandQueue);
  q.running = false;
}

int SetGpuJob(GpuContext& ctx, uint64_t generation, const uint8_t* blob, uint32_t length,
              uint32_t target, uint32_t algorithm, int queue) {
  if (length > kMaxBlobLength) return 3;
  GpuQueue& q = ctx.queues[queue];
  // The previous upload reads q.input when it executes; it has normally
  // run long ago, but make sure before the bytes are replaced.
  if (q.input_event != nullptr) {
    clWaitForEvents(1, &q.input_event);
    Release(q.input_event, clReleaseEvent);
  }
  std::memcpy(q.input, blob, length);
  q.input[length] = 0x01;
  std::memset(q.input + length + 1, 0, kInputBytes - length - 1);

  q.job_generation = generation;
  q.algorithm = algorithm;
  KernelChoice choice;
  choice.prepare = q.prepare_kernel;
  choice.main = q.main_kernel;
  choice.collect = q.collect_kernel;
  const bool known = KernelsForAlgorithm(algorithm, choice);
  q.prepare_kernel = choice.prepare;
  q.main_kernel = choice.main;
  q.collect_kernel = choice.collect;

  if (ClFailed(clEnqueueWriteBuffer(q.queue, q.input_buffer, CL_FALSE, 0, kInputBytes, q.input, 0,
                                    nullptr, &q.input_event),
               "Error %s calling clEnqueueWriteBuffer to fill input buffer.")) {
    return 2;
  }
  if (known && choice.tweak_input) {
    uint64_t input35 = 0;
    for (int i = 7; i >= 0; --i) input35 = (input35 << 8) | q.input[35 + i];
    if (ClFailed(clSetKernelArg(q.kernels[q.main_kernel], 4, sizeof(input35), &input35),
                 "Error %s calling clSetKernelArg for kernel main_v2, input35.")) {
      return 2;
    }
  }
  for (int i = 0; i < kHashKernelCount; ++i) {
    if (ClFailed(clSetKernelArg(q.hash_kernels[i], 3, sizeof(cl_uint), &target),
                 "Error %s calling clSetKernelArg for kernel %d, argument %d.", i + 3, 3)) {
      return 2;
    }
  }
  return 0;
}

int RunGpuRound(GpuContext& ctx, int queue) {
  GpuQueue& q = ctx.queues[queue];
  const uint64_t n = q.threads;
  const size_t offset = static_cast<size_t>(ctx.nonce_counter);
  q.running = true;
  q.results[kResultCountWord] = 0;
  Release(q.round_event, clReleaseEvent);

  for (int i = 0; i < kHashKernelCount; ++i) {
    if (ClFailed(clEnqueueWriteBuffer(q.queue, q.branch_buffers[i], CL_FALSE, n * 4, sizeof(kZero),
                                      &kZero, 0, nullptr, nullptr),
                 "Error %s calling clEnqueueWriteBuffer to zero branch buffer counter %d.", i)) {
      return 2;
    }
  }
  if (ClFailed(clEnqueueWriteBuffer(q.queue, q.output_buffer, CL_FALSE, kCountWordOffset,
                                    sizeof(kZero), &kZero, 0, nullptr, nullptr),
               "Error %s calling clEnqueueReadBuffer to fetch results.")) {
    return 2;
  }

  const size_t offset2[2] = {offset, 0};
  const size_t global2[2] = {n, 8};
  const size_t local2[2] = {8, 8};
  const size_t global1 = n;
  const size_t main_local = MainLocalSize(q.algorithm);
  const size_t hash_local = ctx.work_size;
  if (ClFailed(clEnqueueNDRangeKernel(q.queue, q.kernels[q.prepare_kernel], 2, offset2, global2,
                                      local2, 0, nullptr, nullptr),
               "Error %s calling clEnqueueNDRangeKernel for kernel %d.", 0) ||
      ClFailed(clEnqueueNDRangeKernel(q.queue, q.kernels[q.main_kernel], 1, &offset, &global1,
                                      &main_local, 0, nullptr, nullptr),
               "Error %s calling clEnqueueNDRangeKernel for kernel %d.", 1) ||
      ClFailed(clEnqueueNDRangeKernel(q.queue, q.kernels[q.collect_kernel], 2, offset2, global2,
                                      local2, 0, nullptr, nullptr),
               "Error %s calling clEnqueueNDRangeKernel for kernel %d.", 2)) {
    return 2;
  }
  for (int i = 0; i < kHashKernelCount; ++i) {
    if (ClFailed(clEnqueueNDRangeKernel(q.queue, q.hash_kernels[i], 1, &offset, &global1,
                                        &hash_local, 0, nullptr, nullptr),
                 "Error %s calling clEnqueueNDRangeKernel for kernel %d.", i + 3)) {
      return 2;
    }
  }
  if (ClFailed(clEnqueueReadBuffer(q.queue, q.output_buffer, CL_FALSE, 0, kOutputBytes, q.results,
                                   0, nullptr, &q.round_event),
               "Error %s calling clEnqueueReadBuffer to fetch results.")) {
    return 2;
  }
  clFlush(q.queue);
  q.round_start_us = NowMicros();
  ctx.nonce_counter += n;
  return 0;
}

int WaitGpuQueue(GpuContext& ctx, int queue) {
  GpuQueue& q = ctx.queues[queue];
  if (!q.running) return 0;
  if (q.round_event == nullptr) {
    // The round failed before its result read was enqueued.
    clFinish(q.queue);
    q.running = false;
    return 0;
  }
  // Some drivers busy-wait in clFinish. Poll the result read's event
  // instead, sleeping about half of the expected remaining time (from the
  // previous round) and in short steps near the end, so the waiting thread
  // stays idle and the wake-up comes at most a few milliseconds late.
  for (;;) {
    cl_int status = CL_COMPLETE;
    if (clGetEventInfo(q.round_event, CL_EVENT_COMMAND_EXECUTION_STATUS, sizeof(status), &status,
                       nullptr) != CL_SUCCESS ||
        status <= CL_COMPLETE) {
      if (status < 0) {
        base::printer::inst().print_error("Error %s in the round of GPU%u.", ClErrorName(status),
                                         ctx.ordinal);
      }
      break;
    }
    const uint64_t elapsed = NowMicros() - q.round_start_us;
    uint64_t pause = 250;
    if (q.last_round_us > elapsed + 4000) {
      pause = std::min<uint64_t>((q.last_round_us - elapsed) / 2, 20000);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(pause));
  }
  // All commands of the in-order queue up to the read are done; this
  // returns at once and also covers drivers whose events complete early.
  clFinish(q.queue);
  q.last_round_us = NowMicros() - q.round_start_us;
  Release(q.round_event, clReleaseEvent);
  q.running = false;
  return 0;
}

}  // namespace gpu
