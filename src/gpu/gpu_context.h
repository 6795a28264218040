// Per-GPU and per-command-queue OpenCL state. The backend (gpu_miner) owns
// its GPUs' records in one array, sized once by InitGpus on the main thread
// and never resized afterwards (the run buffers point into the records);
// each record is then driven by its GPU's mining thread, except the fields
// noted below.
#pragma once

#include <CL/cl.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "base/status.h"
#include "gpu/backend_options.h"
#include "gpu/cl_handle.h"
#include "gpu/kernel_table.h"  // kQueueKernelCount

namespace gpu {

class height_programs;

constexpr int kMaxQueues = 2;
constexpr int kHashKernelCount = 4;    // Blake, Groestl, JH, Skein
constexpr uint32_t kInputBytes = 88;
constexpr uint32_t kMaxBlobLength = 84;
constexpr uint32_t kResultWords = 256;
constexpr uint32_t kResultCountWord = 255;
// Nonces a result list holds: words 0 to 254. The kernels count every hit in
// the count word but store only the ones that find a slot.
constexpr uint32_t kResultSlots = 255;

// An atomic that can be copied (value copy), so records holding one can
// live in a std::vector. Copies happen only before threads share a record.
template <typename T>
class CopyableAtomic : public std::atomic<T> {
 public:
  CopyableAtomic() : std::atomic<T>(T{}) {}
  CopyableAtomic(const CopyableAtomic& other) : std::atomic<T>(other.load()) {}
  CopyableAtomic& operator=(const CopyableAtomic& other) {
    this->store(other.load());
    return *this;
  }
  using std::atomic<T>::operator=;
};

// One in-order command queue with its buffers and kernels, which it owns
// (released when it is destroyed or by ReleaseQueue). Used by its GPU's
// mining thread only, except input_dirty and abort_flag, which the job
// publisher writes without a lock (and the kernels read abort_flag).
// Move-only, and never moved once the run buffer points at abort_flag.
struct GpuQueue {
  int32_t index = 0;
  cl_queue_handle queue;
  cl_mem_handle input_buffer;               // 88 bytes
  cl_mem_handle output_buffer;              // 1024 bytes: the result list
  cl_mem_handle scratchpads_buffer;         // N x scratchpad / 2
  cl_mem_handle hash_scratchpads_buffer;    // N x scratchpad / 2
  cl_mem_handle branch_buffers[kHashKernelCount];  // N x 4 + 8 each
  cl_mem_handle hash_states_buffer;         // N x 200
  cl_mem_handle run_buffer;                 // 4 bytes on abort_flag
  // The table's kernels; the random loop's (IsHeightKernel) is made from
  // the program of the last job's height group, null until then.
  cl_kernel_handle kernels[kQueueKernelCount];
  uint64_t threads = 0;                     // N: hashes per round
  uint32_t prepare_kernel = PrepareKernelIndex(0);  // indices into kernels
  uint32_t main_kernel = MainKernelIndex(0);
  uint32_t collect_kernel = CollectKernelIndex(0);
  cl_kernel_handle hash_kernels[kHashKernelCount];
  alignas(64) uint32_t results[kResultWords] = {};  // host copy of the output
  bool running = false;                     // enqueued and not yet waited for
  CopyableAtomic<bool> input_dirty;         // upload the job before the next round
  // 1 tells running kernels their job is outdated. A plain word because the
  // run buffer is created on it (CL_MEM_USE_HOST_PTR): access it only through
  // SetAbortFlag / AbortFlag.
  alignas(64) uint32_t abort_flag = 0;
  uint64_t job_generation = 0;              // JobGeneration of the last upload
  uint32_t algorithm = 0;                   // algorithm id of that job
  // The height group whose program the random loop's kernel comes from.
  bool height_kernel_set = false;
  uint64_t height_group = 0;

  // Host-side bookkeeping: the padded blob of the last upload (kept until
  // its non-blocking write has run), the events of the round's result read
  // and of the last upload, and round times for the sleeping wait.
  uint8_t input[kInputBytes] = {};
  cl_event_handle round_event;
  cl_event_handle input_event;
  uint64_t round_start_us = 0;
  uint64_t last_round_us = 0;
};

void SetAbortFlag(GpuQueue& queue, bool abort);
bool AbortFlag(GpuQueue& queue);

// The nonces of a completed round's result list: every stored one, at most
// kResultSlots.
std::span<const uint32_t> round_results(const GpuQueue& queue);
// Hits of a completed round that found no slot (the count beyond
// kResultSlots), 0 when the list held them all.
uint32_t lost_results(const GpuQueue& queue);
// Hashes per round after a round of `hashes` found `hits` nonces and
// overflowed the list: about half the slots at the same hit rate, a multiple
// of 16 (every local size divides it), at least 16 and at most `hashes`.
uint64_t HashesAfterOverflow(uint64_t hashes, uint32_t hits);

// One GPU selected with --gpu; owns its OpenCL context, program and queues.
struct GpuContext {
  uint32_t ordinal = 0;             // index among the platform's devices
  uint64_t work_size = 8;           // final-hash local size and WORKSIZE
  uint64_t scratchpad_bytes = 0;    // of the current algorithm
  // The algorithm the GPU is set up for, which picks the stored autotune
  // setting; written by the job publisher, read by (re-)initialisation.
  CopyableAtomic<int32_t> setup_algorithm;
  int32_t intensity = -1;           // -1 = auto detect until chosen
  int32_t queue_count = 0;          // 1 or 2
  cl_context_handle context;
  cl_program_handle program;
  GpuQueue queues[kMaxQueues];
  // The random loop's programs per height group and their builder, made at
  // the first job that needs them and released with the context (before
  // it). Used by the mining thread; the store is thread-safe itself.
  std::shared_ptr<height_programs> heights;
  cl_platform_id platform = nullptr;
  cl_device_id device = nullptr;
  bool blockchain_driver = false;   // "OpenCL 2.0 AMD-APP (2442.12)"
  bool new_driver = false;          // driver number 2527 or more
  bool is_ellesmere = false;
  char platform_version[128] = {};
  uint64_t nonce_counter = 0;       // global offset of the next round
  device_options options;           // set by InitOpenCL, read by every re-initialisation
  // Outcome of the last reset (ReInitOpenCLGpu): a GPU whose reset failed
  // has no usable queues and is parked by its mining thread.
  base::status reset_status;

  std::string adapter_name;         // from the sensors, for the banner
  // Read from the device by InitOpenCLGpu.
  std::string device_name;
  std::string driver_version;       // CL_DRIVER_VERSION text
  cl_device_type device_type = 0;
  uint32_t compute_units = 0;
  uint32_t memory_mb = 0;           // global memory in MiB
  uint64_t max_alloc_bytes = 0;     // largest single allocation
  bool opencl_c2 = false;           // device compiles OpenCL C 2.0
  bool exact_fp32_divide = false;   // correctly rounded float division (HasExactFp32Divide)
  int32_t device_class = 0;         // intensity table group (intensity.h)
  int32_t highest_level = 0;        // of the chosen table, for the banner
  bool program_from_cache = false;  // last program came from the binary cache
  uint64_t global_mem_bytes = 0;    // CL_DEVICE_GLOBAL_MEM_SIZE

  // Settings from --autotune (autotune.h). tuning_allowed: neither
  // --intensity for this GPU nor --xgroupsize was given, so a stored setting
  // applies. tune_override: the tuner is measuring `tuned` itself. tuned is
  // the setting in effect (hashes 0: none), looked up for tuned_algorithm;
  // written by (re-)initialisation, read by the job publisher at any time.
  bool tuning_allowed = false;
  bool tune_override = false;
  CopyableAtomic<uint32_t> tuned_hashes;
  CopyableAtomic<uint32_t> tuned_queues;
  int32_t tuned_algorithm = -1;
};

// The code the test seam (device_options::inject_fault) makes `step` fail
// with on this GPU; CL_SUCCESS without a seam.
int32_t InjectedFault(const GpuContext& ctx, cl_step step);

}  // namespace gpu
