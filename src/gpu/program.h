// Kernel programs: the embedded source built per device and cached as a
// binary, or (--buildkernel) the source file built and written to
// "kernel.bin"; and the 21 kernel objects of a queue. Called during GPU
// (re-)initialisation only, one GPU at a time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "gpu/gpu_context.h"

namespace gpu {

// Kernel names in the order of a queue's tables.
extern const char* const kQueueKernelNames[kQueueKernelCount];
extern const char* const kHashKernelNames[kHashKernelCount];
// Scratchpad size of each kernel family entry (1, 2 or 4 MiB).
extern const uint32_t kQueueKernelScratchpad[kQueueKernelCount];

// "-I. -DWORKSIZE=8 -cl-std=CL2.0 -cl-uniform-work-group-size" on devices
// that compile OpenCL C 2.0, else "-I. -DWORKSIZE=8 -cl-std=CL1.2".
std::string BuildOptions(uint64_t work_size, bool opencl_c2);
// True for a CL_DEVICE_OPENCL_C_VERSION text of "OpenCL C 2.x ...".
bool SupportsOpenClC2(const std::string& c_version);

// Creates and builds ctx.program: 0, 2 (OpenCL failure) or 3 (source file
// missing with --buildkernel). Without build_kernel a cached binary is used
// when it matches; a missing, stale or corrupt one is rebuilt.
int CreateProgram(GpuContext& ctx, bool build_kernel);
// Creates the 17 + 4 kernels of a queue from ctx.program: 0 or 2.
int CreateKernels(GpuContext& ctx, GpuQueue& queue);

// Binary cache location: <root>/orbeck-vega/, root = $XDG_CACHE_HOME, else
// ~/.cache. SetProgramCacheRoot overrides the root (empty: the default).
void SetProgramCacheRoot(const std::string& root);
std::string ProgramCacheDir();
// The cache file of a device and the key its content must carry.
std::string ProgramCachePath(const GpuContext& ctx);
uint64_t ProgramCacheKey(std::string_view source, const std::string& options,
                         const GpuContext& ctx);

// Test seam: a source used instead of the embedded one (empty: embedded).
void SetKernelSourceOverride(const std::string& source);
std::string_view KernelSource();

}  // namespace gpu
