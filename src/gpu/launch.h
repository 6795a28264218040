// Device buffers and kernel launches of a GPU's command queues: queue set-up
// (part of InitOpenCLGpu), job upload, one search round of seven launches,
// and completion. SetGpuJob, RunGpuRound and WaitGpuQueue run on the GPU's
// mining thread only (or a test's thread that owns the record).
#pragma once

#include <cstdint>

#include "base/status.h"
#include "gpu/gpu_context.h"
#include "gpu/kernel_table.h"

namespace gpu {

// Kernel indices and the tweak argument of an algorithm id, as the
// algorithm table gives them (kernel_table.h).
struct KernelChoice {
  uint32_t prepare = PrepareKernelIndex(0);
  uint32_t main = MainKernelIndex(0);
  uint32_t collect = CollectKernelIndex(0);
  bool tweak_input = false;  // main kernel takes input bytes 35..42
};
// False (and choice untouched) for an id without a catalogue row.
bool KernelsForAlgorithm(uint32_t algorithm, KernelChoice& choice);
// Local size of the main launch: the row's (16 for CryptoNightV8, else 8);
// 8 for an id without a row.
uint32_t MainLocalSize(uint32_t algorithm);
// Work items of the main launch per hash: the row's (16 for the float
// loop, else 1); 1 for an id without a row.
uint32_t MainItemsPerHash(uint32_t algorithm);

// The generation of a job the GPU gives itself (the self-test's); the
// pool's jobs count from 1.
constexpr uint64_t kOwnJobGeneration = 0;

// Buffer sizes of a queue of N hashes.
uint64_t ScratchpadBufferBytes(uint64_t hashes, uint64_t scratchpad_bytes);  // each of two
uint64_t BranchBufferBytes(uint64_t hashes);
uint64_t HashStatesBufferBytes(uint64_t hashes);

// Creates queue_count queues of N hashes with buffers, kernels and bound
// arguments, and sets the nonce counter to 0. Fails with kDeviceError (an
// OpenCL call), kNotFound (a kernel the program lacks) or kUnsupported (a
// kernel the device cannot run at its local size); the failure is printed.
base::status SetupQueues(GpuContext& ctx, uint64_t hashes);
// Releases what SetupQueues made for one queue (null handles are skipped).
void ReleaseQueue(GpuQueue& queue);

// Uploads a job and chooses the queue's kernels: ok, kDeviceError (an
// OpenCL call, printed), or kInvalidInput for a blob longer than 84 bytes
// (nothing printed or uploaded, the previous job stays). The blob (length
// bytes are read) is copied and padded into the queue, so the caller's
// buffer is not kept.
// `height` is the job's block height (other rows ignore it): the random
// loop's kernel comes from the program of its height group, which is waited
// for when it is not built yet (printed and returned when it cannot be
// built, and the queue then runs no round until a job succeeds); the next
// group's build is started in the background, except for a job of
// kOwnJobGeneration (the self-test's fixed height has no next block).
base::status SetGpuJob(GpuContext& ctx, uint64_t generation, const uint8_t* blob,
                       uint32_t length, uint32_t target, uint32_t algorithm, int queue,
                       uint64_t height = 0);
// Enqueues one round over nonces [counter, counter + N) and adds N to the
// counter; never blocks: ok, kDeviceError (printed), or kUnsupported when
// the job's main kernel is missing (nothing enqueued; SetGpuJob printed
// why). Success allocates nothing.
base::status RunGpuRound(GpuContext& ctx, int queue);
// Waits (sleeping, not spinning) until the queue's round has finished;
// afterwards queue.results is valid when the status is ok. kDeviceError
// (printed) when the device reports the round's commands failed.
base::status WaitGpuQueue(GpuContext& ctx, int queue);

}  // namespace gpu
