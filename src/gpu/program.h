// Kernel programs: the embedded source built per device and cached as a
// binary, or (--buildkernel) the source file built and written to
// "kernel.bin"; and the kernel objects of a queue (kernel_table.h). Called
// during GPU (re-)initialisation only, one GPU at a time.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/status.h"
#include "gpu/gpu_context.h"
#include "gpu/kernel_table.h"

namespace gpu {

// Kernel names in the order of a queue's tables.
inline constexpr std::array<const char*, kQueueKernelCount> kQueueKernelNames = [] {
  std::array<const char*, kQueueKernelCount> names{};
  for (int k = 0; k < kQueueKernelCount; ++k) names[k] = kQueueKernels[k].name;
  return names;
}();
extern const char* const kHashKernelNames[kHashKernelCount];
// Scratchpad size of each queue kernel's family.
inline constexpr std::array<uint32_t, kQueueKernelCount> kQueueKernelScratchpad = [] {
  std::array<uint32_t, kQueueKernelCount> sizes{};
  for (int k = 0; k < kQueueKernelCount; ++k) sizes[k] = kQueueKernels[k].scratchpad;
  return sizes;
}();

// "-I. -DWORKSIZE=8 -cl-std=CL2.0 -cl-uniform-work-group-size" on devices
// that compile OpenCL C 2.0, else "-I. -DWORKSIZE=8 -cl-std=CL1.2". With
// exact_divide (the device has correctly rounded single-precision
// division) also "-cl-fp32-correctly-rounded-divide-sqrt
// -DORBECK_EXACT_FP32_DIVIDE"; without it the float loop divides in
// integer arithmetic.
std::string BuildOptions(uint64_t work_size, bool opencl_c2, bool exact_divide = false);
// BuildOptions followed by the kernel table's instances
// (KernelTableOptions): what the program is built with.
std::string ProgramBuildOptions(uint64_t work_size, bool opencl_c2, bool exact_divide = false);
// Whether a device's CL_DEVICE_SINGLE_FP_CONFIG has correctly rounded
// division and square root.
bool HasExactFp32Divide(cl_device_id device);
// True for a CL_DEVICE_OPENCL_C_VERSION text of "OpenCL C 2.x ...".
bool SupportsOpenClC2(const std::string& c_version);

// Creates and builds ctx.program. Fails with kDeviceError (an OpenCL call)
// or kNotFound (the source file missing with --buildkernel); the failing
// step has printed the status's message. Without build_kernel a cached
// binary is used when it matches; a missing, stale or corrupt one is
// rebuilt.
base::status CreateProgram(GpuContext& ctx, bool build_kernel);
// Creates the table's kernels and the 4 final-hash kernels of a queue from
// ctx.program; kNotFound when the program lacks one, else kDeviceError
// when one cannot be created (printed either way).
base::status CreateKernels(GpuContext& ctx, GpuQueue& queue);

// Binary cache location: <root>/orbeck-vega/, root = the given one, else
// $XDG_CACHE_HOME, else ~/.cache; empty when none of them is set.
std::string ProgramCacheDir(const std::string& root);
// The cache file of a device (below its options' cache root) and the key
// its content must carry.
std::string ProgramCachePath(const GpuContext& ctx);
uint64_t ProgramCacheKey(std::string_view source, const std::string& options,
                         const GpuContext& ctx);

// The source a GPU's program is built from: its options' kernel_source,
// else the embedded one.
std::string_view KernelSource(const device_options& options);

}  // namespace gpu
