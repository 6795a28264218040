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

// What building a program for one device needs, copied from its record so
// that a thread other than the record's can build (the context is not
// owned: the record keeps it alive while builds may run).
struct program_target {
  cl_context context = nullptr;
  cl_device_id device = nullptr;
  uint32_t ordinal = 0;
  std::string device_name;
  std::string driver_version;
  std::string platform_version;
  std::string cache_root;
};
program_target TargetOf(const GpuContext& ctx);

// Builds source with options for the target through the binary cache file
// `path` (empty: no cache): a matching entry is loaded (from_cache), else
// the program is built from source (the log printed on failure) and stored.
// `what` names the program in the lines printed ("compiling the kernels
// ...", "kernels compiled in 1.0 s"). Any thread.
base::status BuildCachedProgram(const program_target& target, std::string_view source,
                                const std::string& options, const std::string& path,
                                const char* what, cl_program_handle& program, bool& from_cache);
// Removes the oldest cache files of path's folder whose names start with
// prefix, so that at most `keep` remain.
void PruneCachedBinaries(const std::string& path, const std::string& prefix, size_t keep);

// Creates and builds ctx.program. Fails with kDeviceError (an OpenCL call)
// or kNotFound (the source file missing with --buildkernel); the failing
// step has printed the status's message. Without build_kernel a cached
// binary is used when it matches; a missing, stale or corrupt one is
// rebuilt.
base::status CreateProgram(GpuContext& ctx, bool build_kernel);
// Creates the table's kernels (all but the height group's, IsHeightKernel)
// and the 4 final-hash kernels of a queue from ctx.program; kNotFound when the program lacks one, else kDeviceError
// when one cannot be created (printed either way).
base::status CreateKernels(GpuContext& ctx, GpuQueue& queue);

// Binary cache location: <root>/orbeck-vega/, root = the given one, else
// $XDG_CACHE_HOME, else ~/.cache; empty when none of them is set.
std::string ProgramCacheDir(const std::string& root);
// The cache file of a device (below its options' cache root) and the key
// its content must carry.
std::string ProgramCachePath(const GpuContext& ctx);
// The same for another program of the device: the common file's name with
// suffix before ".bin" (e.g. "-r451565" for a height group).
std::string ProgramCachePath(const program_target& target, const std::string& suffix);
uint64_t ProgramCacheKey(std::string_view source, const std::string& options,
                         const GpuContext& ctx);
uint64_t ProgramCacheKey(std::string_view source, const std::string& options,
                         const program_target& target);

// The source a GPU's program is built from: its options' kernel_source,
// else the embedded one.
std::string_view KernelSource(const device_options& options);

}  // namespace gpu
