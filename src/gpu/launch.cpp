#include "gpu/launch.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "base/printer.h"
#include "crypto/algorithm.h"
#include "gpu/cl_call.h"
#include "gpu/height_programs.h"
#include "gpu/kernel_table.h"
#include "gpu/program.h"
#include "gpu/random_source.h"

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

base::status CreateBuffer(GpuContext& ctx, cl_mem_flags flags, uint64_t size, void* host,
                          const char* message, cl_mem_handle& buffer) {
  cl_int status = CL_SUCCESS;
  cl_mem created = clCreateBuffer(ctx.context, flags, size, host, &status);
  buffer = status == CL_SUCCESS ? created : nullptr;
  return ClStatus(status, message);
}

base::status CreateBuffers(GpuContext& ctx, GpuQueue& q) {
  const uint64_t n = q.threads;
  const cl_mem_flags device_only = CL_MEM_READ_WRITE | CL_MEM_HOST_NO_ACCESS;
  base::status s = CreateBuffer(ctx, CL_MEM_READ_ONLY, kInputBytes, nullptr,
                                "Error %s calling clCreateBuffer input buffer.", q.input_buffer);
  if (!s) return s;
  s = CreateBuffer(ctx, device_only, HashStatesBufferBytes(n), nullptr,
                   "Error %s calling clCreateBuffer hash states buffer.", q.hash_states_buffer);
  if (!s) return s;
  const uint64_t half = ScratchpadBufferBytes(n, ctx.scratchpad_bytes);
  s = CreateBuffer(ctx, device_only, half, nullptr,
                   "Error %s calling clCreateBuffer scratchpads buffer.", q.scratchpads_buffer);
  if (!s) return s;
  s = CreateBuffer(ctx, device_only, half, nullptr,
                   "Error %s calling clCreateBufferhash scratchpads buffer.",
                   q.hash_scratchpads_buffer);
  if (!s) return s;
  static const char* const kBranchMessages[kHashKernelCount] = {
      "Error %s calling clCreateBuffer Branch 0 buffer.",
      "Error %s calling clCreateBuffer Branch 1 buffer.",
      "Error %s calling clCreateBuffer Branch 2 buffer.",
      "Error %s calling clCreateBuffer Branch 3 buffer.",
  };
  for (int i = 0; i < kHashKernelCount; ++i) {
    s = CreateBuffer(ctx, CL_MEM_READ_WRITE, BranchBufferBytes(n), nullptr, kBranchMessages[i],
                     q.branch_buffers[i]);
    if (!s) return s;
  }
  s = CreateBuffer(ctx, CL_MEM_READ_WRITE, kOutputBytes, nullptr,
                   "Error %s calling clCreateBuffer output buffer.", q.output_buffer);
  if (!s) return s;
  return CreateBuffer(ctx, CL_MEM_USE_HOST_PTR, sizeof(q.abort_flag), &q.abort_flag,
                      "Error %s calling clCreateBuffer run buffer.", q.run_buffer);
}

base::status SetMemArg(cl_kernel kernel, cl_uint index, const cl_mem& buffer, const char* message,
                       int number) {
  return ClStatus(clSetKernelArg(kernel, index, sizeof(cl_mem), &buffer), message, number);
}

base::status BindMainArguments(cl_kernel kernel, const GpuQueue& q) {
  const cl_mem args[4] = {q.scratchpads_buffer, q.hash_scratchpads_buffer, q.hash_states_buffer,
                          q.run_buffer};
  for (cl_uint a = 0; a < 4; ++a) {
    base::status s = SetMemArg(kernel, a, args[a],
                               "Error %s calling clSetKernelArg kernel 1, argument %d.",
                               static_cast<int>(a));
    if (!s) return s;
  }
  return base::status::ok();
}

// Binds the arguments of the kernels of the GPU's scratchpad size and of
// the four final-hash kernels; the other families stay unbound, and so does
// the random loop's kernel until a job's height gives it a program.
base::status BindArguments(GpuContext& ctx, GpuQueue& q) {
  for (uint32_t k = 0; k < kQueueKernelCount; ++k) {
    if (kQueueKernelScratchpad[k] != ctx.scratchpad_bytes || IsHeightKernel(k)) continue;
    cl_kernel kernel = q.kernels[k];
    if (kQueueKernels[k].role == KernelRole::prepare) {
      // The third argument's message repeats "argument 1": the printed
      // text stays as it has always been.
      static const char* const kPrepareMessages[5] = {
          "Error %s calling clSetKernelArg kernel 0, argument 0.",
          "Error %s calling clSetKernelArg kernel 0, argument 1.",
          "Error %s calling clSetKernelArg kernel 0, argument 1.",
          "Error %s calling clSetKernelArg kernel 0, argument 3.",
          "Error %s calling clSetKernelArg kernel 0, argument 4.",
      };
      const cl_mem args[5] = {q.input_buffer, q.scratchpads_buffer, q.hash_scratchpads_buffer,
                              q.hash_states_buffer, q.run_buffer};
      for (cl_uint a = 0; a < 5; ++a) {
        base::status s =
            ClStatus(clSetKernelArg(kernel, a, sizeof(cl_mem), &args[a]), kPrepareMessages[a]);
        if (!s) return s;
      }
    } else if (kQueueKernels[k].role == KernelRole::main) {
      if (base::status s = BindMainArguments(kernel, q); !s) return s;
    } else {  // collect
      const cl_mem args[8] = {q.scratchpads_buffer, q.hash_scratchpads_buffer,
                              q.hash_states_buffer, q.branch_buffers[0],
                              q.branch_buffers[1],  q.branch_buffers[2],
                              q.branch_buffers[3],  q.run_buffer};
      for (cl_uint a = 0; a < 8; ++a) {
        base::status s = SetMemArg(kernel, a, args[a],
                                   "Error %s calling clSetKernelArg kernel 3, argument %d.",
                                   static_cast<int>(a));
        if (!s) return s;
      }
    }
  }
  for (int i = 0; i < kHashKernelCount; ++i) {
    cl_kernel kernel = q.hash_kernels[i];
    base::status s = SetMemArg(kernel, 0, q.hash_states_buffer,
                               "Error %s calling clSetKernelArg kernel %d, argument 0.", i + 3);
    if (s) {
      s = SetMemArg(kernel, 1, q.branch_buffers[i],
                    "Error %s calling clSetKernelArg kernel %d, argument 1.", i + 3);
    }
    if (s) {
      s = SetMemArg(kernel, 2, q.output_buffer,
                    "Error %s calling clSetKernelArg for kernel %d, argument 2.", i + 3);
    }
    if (!s) return s;
  }
  return base::status::ok();
}

// The launches' local sizes must be within what the device allows for each
// kernel of the current family (a driver may allow less than the device
// maximum for a large kernel); checked once instead of failing every round.
// A device that allows less is kUnsupported: it cannot run this kernel.
base::status CheckLocalSize(const GpuContext& ctx, cl_kernel kernel, const char* name,
                            size_t needed) {
  size_t allowed = 0;
  base::status s = ClStatus(clGetKernelWorkGroupInfo(kernel, ctx.device, CL_KERNEL_WORK_GROUP_SIZE,
                                                     sizeof(allowed), &allowed, nullptr),
                            "Error %s calling clGetKernelWorkGroupInfo for kernel %s.", name);
  if (!s || allowed >= needed) return s;
  return PrintedError(base::status_code::kUnsupported,
                      "Error: kernel %s allows work groups of %zu, %zu needed.", name, allowed,
                      needed);
}

base::status CheckLocalSizes(GpuContext& ctx, GpuQueue& q) {
  auto check = [&](cl_kernel kernel, const char* name, size_t needed) {
    return CheckLocalSize(ctx, kernel, name, needed);
  };
  for (uint32_t k = 0; k < kQueueKernelCount; ++k) {
    // The height group's kernel is checked when it is made (UseHeightKernel).
    if (kQueueKernelScratchpad[k] != ctx.scratchpad_bytes || IsHeightKernel(k)) continue;
    const size_t needed = kQueueKernels[k].local_items;
    if (base::status s = check(q.kernels[k], kQueueKernelNames[k], needed); !s) return s;
  }
  for (int i = 0; i < kHashKernelCount; ++i) {
    if (base::status s = check(q.hash_kernels[i], kHashKernelNames[i], ctx.work_size); !s) {
      return s;
    }
  }
  return base::status::ok();
}

// Gives queue q the random loop's kernel of height's group (from the GPU's
// height programs, waiting for its build when it is not ready) and points
// it at the height; asks for the next group to be built ahead when
// build_ahead. On failure the queue has no such kernel, so no round runs
// another height's code.
base::status UseHeightKernel(GpuContext& ctx, GpuQueue& q, uint32_t main_kernel,
                             uint64_t height, bool build_ahead) {
  const uint64_t group = RandomGroupOf(height);
  if (ctx.heights == nullptr) {
    ctx.heights = std::make_shared<height_programs>(
        TargetOf(ctx), std::string(KernelSource(ctx.options)),
        BuildOptions(ctx.work_size, ctx.opencl_c2, ctx.exact_fp32_divide));
  }
  cl_kernel_handle& kernel = q.kernels[main_kernel];
  if (!q.height_kernel_set || q.height_group != group || kernel == nullptr) {
    kernel.reset();
    q.height_kernel_set = false;
    cl_program_handle program;
    bool waited = false;
    const auto asked = std::chrono::steady_clock::now();
    base::status s = ctx.heights->Acquire(group, program, &waited);
    if (!s) {
      return PrintedError(s.code(), "GPU%u: no cn/r kernel for height %llu: %s", ctx.ordinal,
                          static_cast<unsigned long long>(height), s.message().c_str());
    }
    if (waited) {
      // Normal for the first job; later, the build ahead did not finish in time.
      const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - asked;
      base::printer::inst().print_leveled(
          base::kInfo, "GPU%u: waited %.1f s for the cn/r kernel of height %llu", ctx.ordinal,
          spent.count(), static_cast<unsigned long long>(height));
    }
    cl_int status = CL_SUCCESS;
    cl_kernel created = clCreateKernel(program, kQueueKernelNames[main_kernel], &status);
    s = ClStatus(status, "Error %s calling clCreateKernel kernel %s.",
                 kQueueKernelNames[main_kernel]);
    if (!s) return s;
    kernel = created;
    s = CheckLocalSize(ctx, kernel, kQueueKernelNames[main_kernel],
                       kQueueKernels[main_kernel].local_items);
    if (s) s = BindMainArguments(kernel, q);
    if (!s) {
      kernel.reset();
      return s;
    }
    q.height_kernel_set = true;
    q.height_group = group;
  }
  const cl_uint slot = RandomSlotOf(height);
  base::status s = ClStatus(clSetKernelArg(kernel, 4, sizeof(slot), &slot),
                            "Error %s calling clSetKernelArg kernel 1, argument %d.", 4);
  if (!s) {
    kernel.reset();
    q.height_kernel_set = false;
    return s;
  }
  // The next block's height is likely in the next group: build it now, so
  // its first job finds the kernel ready.
  if (build_ahead) ctx.heights->BuildAhead(group + 1);
  return s;
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

uint32_t MainItemsPerHash(uint32_t algorithm) {
  const crypto::algorithm_info* info = crypto::find_algorithm(static_cast<int32_t>(algorithm));
  return info != nullptr ? info->main_items_per_hash : 1;
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

base::status SetupQueues(GpuContext& ctx, uint64_t hashes) {
  for (int q = 0; q < ctx.queue_count && q < kMaxQueues; ++q) {
    GpuQueue& queue = ctx.queues[q];
    queue.index = q;
    queue.threads = hashes;
    queue.results[kResultCountWord] = 0;
    queue.running = false;
    queue.input_dirty = false;
    SetAbortFlag(queue, false);
    queue.last_round_us = 0;
    cl_int status = InjectedFault(ctx, cl_step::create_command_queue);
    if (status == CL_SUCCESS) {
      cl_command_queue created = clCreateCommandQueue(ctx.context, ctx.device, 0, &status);
      queue.queue = status == CL_SUCCESS ? created : nullptr;
    }
    base::status s = ClStatus(status, "Error %s calling clCreateCommandQueue.");
    if (s) s = CreateBuffers(ctx, queue);
    if (s) s = CreateKernels(ctx, queue);
    if (s) s = CheckLocalSizes(ctx, queue);
    if (s) s = BindArguments(ctx, queue);
    if (!s) return s;
  }
  ctx.nonce_counter = 0;
  return base::status::ok();
}

void ReleaseQueue(GpuQueue& q) {
  q.round_event.reset();
  q.input_event.reset();
  for (cl_kernel_handle& kernel : q.kernels) kernel.reset();
  for (cl_kernel_handle& kernel : q.hash_kernels) kernel.reset();
  q.scratchpads_buffer.reset();
  q.hash_scratchpads_buffer.reset();
  for (cl_mem_handle& buffer : q.branch_buffers) buffer.reset();
  q.hash_states_buffer.reset();
  q.output_buffer.reset();
  q.input_buffer.reset();
  q.run_buffer.reset();
  q.queue.reset();
  q.running = false;
  q.height_kernel_set = false;
}

base::status SetGpuJob(GpuContext& ctx, uint64_t generation, const uint8_t* blob, uint32_t length,
                       uint32_t target, uint32_t algorithm, int queue, uint64_t height) {
  if (length > kMaxBlobLength) {
    // Refused before anything is printed or uploaded; the caller decides
    // whether to report it.
    char text[96];
    std::snprintf(text, sizeof(text), "Job blob of %u bytes is longer than %u bytes.",
                  static_cast<unsigned>(length), static_cast<unsigned>(kMaxBlobLength));
    return base::status::error(base::status_code::kInvalidInput, text);
  }
  GpuQueue& q = ctx.queues[queue];
  // The previous upload reads q.input when it executes; it has normally
  // run long ago, but make sure before the bytes are replaced.
  if (q.input_event != nullptr) {
    const cl_event upload = q.input_event;
    clWaitForEvents(1, &upload);
    q.input_event.reset();
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

  base::status s = ClStatus(clEnqueueWriteBuffer(q.queue, q.input_buffer, CL_FALSE, 0,
                                                 kInputBytes, q.input, 0, nullptr, q.input_event.receive()),
                            "Error %s calling clEnqueueWriteBuffer to fill input buffer.");
  if (!s) return s;
  if (known && crypto::kAlgorithms[algorithm].loop == crypto::loop_family::random) {
    s = UseHeightKernel(ctx, q, choice.main, height, generation != kOwnJobGeneration);
    if (!s) return s;
  }
  if (known && choice.tweak_input) {
    uint64_t input35 = 0;
    for (int i = 7; i >= 0; --i) input35 = (input35 << 8) | q.input[35 + i];
    s = ClStatus(clSetKernelArg(q.kernels[q.main_kernel], 4, sizeof(input35), &input35),
                 "Error %s calling clSetKernelArg for kernel main_v2, input35.");
    if (!s) return s;
  }
  for (int i = 0; i < kHashKernelCount; ++i) {
    s = ClStatus(clSetKernelArg(q.hash_kernels[i], 3, sizeof(cl_uint), &target),
                 "Error %s calling clSetKernelArg for kernel %d, argument %d.", i + 3, 3);
    if (!s) return s;
  }
  return s;
}

// Runs every round: each success below is a default status, which
// allocates nothing; text is built only for a failure.
base::status RunGpuRound(GpuContext& ctx, int queue) {
  GpuQueue& q = ctx.queues[queue];
  if (q.kernels[q.main_kernel] == nullptr) {
    // The job's height has no kernel (SetGpuJob failed and said why): no
    // round, rather than one of another height's code.
    return base::status::error(base::status_code::kUnsupported, "no main kernel for the job");
  }
  const uint64_t n = q.threads;
  const size_t offset = static_cast<size_t>(ctx.nonce_counter);
  q.running = true;
  q.results[kResultCountWord] = 0;
  q.round_event.reset();

  for (int i = 0; i < kHashKernelCount; ++i) {
    base::status s =
        ClStatus(clEnqueueWriteBuffer(q.queue, q.branch_buffers[i], CL_FALSE, n * 4,
                                      sizeof(kZero), &kZero, 0, nullptr, nullptr),
                 "Error %s calling clEnqueueWriteBuffer to zero branch buffer counter %d.", i);
    if (!s) return s;
  }
  base::status s = ClStatus(clEnqueueWriteBuffer(q.queue, q.output_buffer, CL_FALSE,
                                                 kCountWordOffset, sizeof(kZero), &kZero, 0,
                                                 nullptr, nullptr),
                            "Error %s calling clEnqueueReadBuffer to fetch results.");
  if (!s) return s;

  const size_t offset2[2] = {offset, 0};
  const size_t global2[2] = {n, 8};
  const size_t local2[2] = {8, 8};
  const size_t global1 = n;
  // A main kernel that splits a hash over several work items runs that
  // many per nonce; the offset scales with it.
  const size_t main_items = MainItemsPerHash(q.algorithm);
  const size_t main_offset = offset * main_items;
  const size_t main_global = n * main_items;
  const size_t main_local = MainLocalSize(q.algorithm);
  const size_t hash_local = ctx.work_size;
  s = ClStatus(clEnqueueNDRangeKernel(q.queue, q.kernels[q.prepare_kernel], 2, offset2, global2,
                                      local2, 0, nullptr, nullptr),
               "Error %s calling clEnqueueNDRangeKernel for kernel %d.", 0);
  if (!s) return s;
  s = ClStatus(clEnqueueNDRangeKernel(q.queue, q.kernels[q.main_kernel], 1, &main_offset,
                                      &main_global, &main_local, 0, nullptr, nullptr),
               "Error %s calling clEnqueueNDRangeKernel for kernel %d.", 1);
  if (!s) return s;
  s = ClStatus(clEnqueueNDRangeKernel(q.queue, q.kernels[q.collect_kernel], 2, offset2, global2,
                                      local2, 0, nullptr, nullptr),
               "Error %s calling clEnqueueNDRangeKernel for kernel %d.", 2);
  if (!s) return s;
  for (int i = 0; i < kHashKernelCount; ++i) {
    s = ClStatus(clEnqueueNDRangeKernel(q.queue, q.hash_kernels[i], 1, &offset, &global1,
                                        &hash_local, 0, nullptr, nullptr),
                 "Error %s calling clEnqueueNDRangeKernel for kernel %d.", i + 3);
    if (!s) return s;
  }
  s = ClStatus(clEnqueueReadBuffer(q.queue, q.output_buffer, CL_FALSE, 0, kOutputBytes, q.results,
                                   0, nullptr, q.round_event.receive()),
               "Error %s calling clEnqueueReadBuffer to fetch results.");
  if (!s) return s;
  clFlush(q.queue);
  q.round_start_us = NowMicros();
  ctx.nonce_counter += n;
  return s;
}

base::status WaitGpuQueue(GpuContext& ctx, int queue) {
  GpuQueue& q = ctx.queues[queue];
  if (!q.running) return base::status::ok();
  if (q.round_event == nullptr) {
    // The round failed before its result read was enqueued; that failure
    // was reported by RunGpuRound.
    clFinish(q.queue);
    q.running = false;
    return base::status::ok();
  }
  base::status result;
  // Some drivers busy-wait in clFinish. Poll the result read's event
  // instead, sleeping about half of the expected remaining time (from the
  // previous round) and in short steps near the end, so the waiting thread
  // stays idle and the wake-up comes at most a few milliseconds late.
  for (;;) {
    cl_int status = CL_COMPLETE;
    if (clGetEventInfo(q.round_event.get(), CL_EVENT_COMMAND_EXECUTION_STATUS, sizeof(status), &status,
                       nullptr) != CL_SUCCESS ||
        status <= CL_COMPLETE) {
      if (status < 0) {
        // The round's commands failed: its results are not valid.
        result = ClStatus(status, "Error %s in the round of GPU%u.", ctx.ordinal);
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
  q.round_event.reset();
  q.running = false;
  return result;
}

}  // namespace gpu
