#include "gpu/kernel_table.h"

#include <cstdio>

namespace gpu {

std::string KernelTableOptions() {
  std::string options = "-DCN_FAMILY_KERNELS=";
  char item[160];
  for (const KernelFamily& family : kKernelFamilies) {
    std::snprintf(item, sizeof(item), "%s(%s,%s,0x%Xu,%d)",
                  family.keccak_fill ? "CN_GPU_FAMILY" : "CN_FAMILY", family.prepare, family.collect,
                  static_cast<unsigned>(family.scratchpad), family.heavy_fill ? 1 : 0);
    options += item;
  }
  options += " -DCN_MAIN_KERNELS=";
  for (const QueueKernel& kernel : kQueueKernels) {
    if (kernel.role != KernelRole::main) continue;
    const crypto::algorithm_info& info = crypto::kAlgorithms[kernel.algorithm];
    // The random loop's kernel is built per height group (random_source.h).
    if (info.loop == crypto::loop_family::random) continue;
    // Tweak rows take the blob's bytes 35..42 as a fifth argument; the float
    // loop has a kernel of its own.
    const char* macro = info.loop == crypto::loop_family::float_chains ? "CN_GPU_MAIN"
                        : info.v7_shift != 0                         ? "CN_MAIN_TWEAK"
                                                                     : "CN_MAIN";
    std::snprintf(item, sizeof(item), "%s(%s,%u,0x%Xu,0x%Xu,0x%Xu,0x%Xu)", macro, info.main_kernel,
                  static_cast<unsigned>(info.main_local_size),
                  static_cast<unsigned>(info.scratchpad), static_cast<unsigned>(info.iterations),
                  static_cast<unsigned>(info.mask),
                  static_cast<unsigned>(crypto::kernel_variant(info)));
    options += item;
  }
  return options;
}

}  // namespace gpu
