// OpenCL source of the random loop's (cn/r) main kernel for a group of
// consecutive block heights: each height's generated program written out as
// straight-line statements, and the build options that make the kernel
// source define that one kernel. Pure; any thread.
#pragma once

#include <cstdint>
#include <string>

namespace gpu {

// Heights per built program: heights g * N .. g * N + N - 1 form group g.
// The kernel picks its height's code once per hash, so a group's build
// serves N consecutive blocks; N is a trade of build time against builds
// per block (doc/gpu.md has the measurements).
constexpr uint32_t kRandomHeightsPerGroup = 4;

constexpr uint64_t RandomGroupOf(uint64_t height) { return height / kRandomHeightsPerGroup; }
constexpr uint32_t RandomSlotOf(uint64_t height) {
  return static_cast<uint32_t>(height % kRandomHeightsPerGroup);
}

// Macros for the kernel source (prepended to it): CN_RANDOM_FIRST_HEIGHT is
// the group's first height, CN_RANDOM_SLOTS(X) lists
// X(0) .. X(N-1), and CN_RANDOM_CODE_<s> holds the statements of height
// group * N + s on the registers r0..r8, e.g. "r2 += r7 + 0xD3CEFCDDu;".
std::string RandomGroupSource(uint64_t group, uint32_t heights = kRandomHeightsPerGroup);

// The options after BuildOptions that instantiate only the random loop's
// main kernel (no families, no final-hash kernels), e.g.
// "-DCN_FAMILY_KERNELS= -DCN_NO_FINAL_KERNELS -DCN_MAIN_KERNELS=CN_MAIN_RANDOM(...)".
std::string RandomKernelOptions();

// Name of the random loop's main kernel (the kernel table's).
const char* RandomKernelName();

}  // namespace gpu
