// The kernels of a queue, derived at compile time from the algorithm
// catalogue: one prepare and one collect kernel per scratchpad family, one
// main kernel per catalogue row, and the build options that make the
// OpenCL source define exactly those kernels. Constant data; any thread.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "crypto/algorithm.h"

namespace gpu {

// A scratchpad family: the rows of one scratchpad size and fill share the
// prepare (fill) and collect (fold) kernels of their family. A Keccak-fill
// family's collect kernel also ends the hash (its rows' final step is the
// state itself): it lists every hash for the first final kernel, marked to
// be compared as it is.
struct KernelFamily {
  uint32_t scratchpad;
  bool heavy_fill;
  bool keccak_fill;
  const char* prepare;
  const char* collect;
};
// clang-format off
inline constexpr KernelFamily kKernelFamilies[] = {
    {crypto::kScratchpadNormal, false, false, "cryptonight_prepare", "cryptonight_collect"},
    {crypto::kScratchpadHeavy, true, false, "cryptonight_prepare_heavy", "cryptonight_collect_heavy"},
    {crypto::kScratchpadLight, false, false, "cryptonight_prepare_light", "cryptonight_collect_light"},
    {crypto::kScratchpad256K, false, false, "cryptonight_prepare_256k", "cryptonight_collect_256k"},
    {crypto::kScratchpad128K, false, false, "cryptonight_prepare_128k", "cryptonight_collect_128k"},
    {crypto::kScratchpadNormal, true, true, "cryptonight_prepare_gpu", "cryptonight_collect_gpu"},
};
// clang-format on
constexpr int kKernelFamilyCount = static_cast<int>(std::size(kKernelFamilies));

// Index into kKernelFamilies of a row, or -1 when no family fits it.
constexpr int FamilyOf(const crypto::algorithm_info& info) {
  for (int f = 0; f < kKernelFamilyCount; ++f) {
    if (kKernelFamilies[f].scratchpad == info.scratchpad &&
        kKernelFamilies[f].heavy_fill == info.heavy_fill &&
        kKernelFamilies[f].keccak_fill == info.keccak_fill) {
      return f;
    }
  }
  return -1;
}

// A queue's kernel table: the prepare kernels of the families, the main
// kernels in the order of their rows' slots, the collect kernels.
constexpr int kQueueKernelCount = 2 * kKernelFamilyCount + crypto::kAlgoCount;
constexpr int kFirstMainKernel = kKernelFamilyCount;
constexpr int kFirstCollectKernel = kKernelFamilyCount + crypto::kAlgoCount;

enum class KernelRole : uint8_t { prepare, main, collect };

struct QueueKernel {
  const char* name;
  KernelRole role;
  uint32_t scratchpad;  // bytes per hash of the kernel's family
  // Work items per group the launch uses: 8 x 8 for prepare and collect,
  // the row's main local size for a main kernel.
  uint32_t local_items;
  int32_t algorithm;  // the row of a main kernel, -1 for the others
};

constexpr std::array<QueueKernel, kQueueKernelCount> MakeQueueKernels() {
  std::array<QueueKernel, kQueueKernelCount> kernels{};
  for (int f = 0; f < kKernelFamilyCount; ++f) {
    const KernelFamily& family = kKernelFamilies[f];
    kernels[f] = {family.prepare, KernelRole::prepare, family.scratchpad, 64, -1};
    kernels[kFirstCollectKernel + f] = {family.collect, KernelRole::collect, family.scratchpad,
                                        64, -1};
  }
  for (const crypto::algorithm_info& info : crypto::kAlgorithms) {
    kernels[kFirstMainKernel + info.main_kernel_slot] = {
        info.main_kernel, KernelRole::main, info.scratchpad, info.main_local_size, info.id};
  }
  return kernels;
}
inline constexpr std::array<QueueKernel, kQueueKernelCount> kQueueKernels = MakeQueueKernels();

constexpr bool KernelTableIsConsistent() {
  for (const crypto::algorithm_info& info : crypto::kAlgorithms) {
    const int f = FamilyOf(info);
    if (f < 0) return false;
    // Only a Keccak-fill family's collect kernel ends the hash with the state.
    if (kKernelFamilies[f].keccak_fill != (info.final_step == crypto::final_rule::state)) {
      return false;
    }
  }
  return true;
}
static_assert(KernelTableIsConsistent(), "every catalogue row needs a scratchpad family");

// The main kernels run their passes in blocks of CN_RUN_CHECK (cryptonight.cl)
// between two looks at the run flag, so every row's pass count must be a
// whole number of blocks.
constexpr uint32_t kMainKernelPassBlock = 0x4000;
constexpr bool PassCountsFitTheMainKernels() {
  for (const crypto::algorithm_info& info : crypto::kAlgorithms) {
    if (info.iterations % kMainKernelPassBlock != 0) return false;
  }
  return true;
}
static_assert(PassCountsFitTheMainKernels(), "a row's passes are not a multiple of CN_RUN_CHECK");

// The float loop's kernel splits a hash over exactly 16 work items.
constexpr bool FloatLoopRowsFitTheirKernel() {
  for (const crypto::algorithm_info& info : crypto::kAlgorithms) {
    if (info.loop == crypto::loop_family::float_chains && info.main_items_per_hash != 16) return false;
    if (info.loop != crypto::loop_family::float_chains && info.main_items_per_hash != 1) return false;
  }
  return true;
}
static_assert(FloatLoopRowsFitTheirKernel(), "a float-loop row needs 16 items per hash, others 1");

// The kernel indices of a row (id 0..kAlgoCount-1).
constexpr uint32_t PrepareKernelIndex(int32_t id) {
  return static_cast<uint32_t>(FamilyOf(crypto::kAlgorithms[id]));
}
constexpr uint32_t MainKernelIndex(int32_t id) {
  return static_cast<uint32_t>(kFirstMainKernel + crypto::kAlgorithms[id].main_kernel_slot);
}
constexpr uint32_t CollectKernelIndex(int32_t id) {
  return static_cast<uint32_t>(kFirstCollectKernel + FamilyOf(crypto::kAlgorithms[id]));
}
// Whether queue kernel k comes from the program of a job's height group
// rather than from the common program.
constexpr bool IsHeightKernel(int k) {
  return kQueueKernels[k].role == KernelRole::main &&
         crypto::kAlgorithms[kQueueKernels[k].algorithm].loop == crypto::loop_family::random;
}

// The build options that instantiate the kernels above from the source
// (cryptonight.cl), one -D each for the families and the main kernels, e.g.
// "-DCN_FAMILY_KERNELS=CN_FAMILY(cryptonight_prepare,cryptonight_collect,
// 0x200000u,0)... -DCN_MAIN_KERNELS=CN_MAIN(cryptonight_main,8,0x200000u,
// 0x80000u,0x1FFFF0u,0x0u)CN_MAIN_TWEAK(...)...": name, local size,
// scratchpad, passes, mask and variant. A Keccak-fill family is a
// CN_GPU_FAMILY and a float-loop row a CN_GPU_MAIN (cn_gpu.cl). The random
// loop's row has no kernel here: it is built per height group
// (random_source.h). No spaces inside a value.
std::string KernelTableOptions();

}  // namespace gpu
