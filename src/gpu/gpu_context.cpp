#include "gpu/gpu_context.h"

#include <algorithm>

namespace gpu {
void SetAbortFlag(GpuQueue& queue, bool abort) {
  std::atomic_ref<uint32_t>(queue.abort_flag).store(abort ? 1u : 0u);
}

bool AbortFlag(GpuQueue& queue) {
  return std::atomic_ref<uint32_t>(queue.abort_flag).load() != 0;
}

std::span<const uint32_t> round_results(const GpuQueue& queue) {
  const uint32_t count = std::min(queue.results[kResultCountWord], kResultSlots);
  return std::span<const uint32_t>(queue.results, count);
}

uint32_t lost_results(const GpuQueue& queue) {
  const uint32_t count = queue.results[kResultCountWord];
  return count > kResultSlots ? count - kResultSlots : 0;
}

uint64_t HashesAfterOverflow(uint64_t hashes, uint32_t hits) {
  constexpr uint64_t kGranule = 16;
  if (hits == 0) return hashes;
  // Half the slots at the hit rate of the round that overflowed.
  const uint64_t wanted = hashes * (kResultSlots / 2 + 1) / hits;
  const uint64_t rounded = std::max(kGranule, wanted / kGranule * kGranule);
  return std::min(rounded, hashes);
}

int32_t InjectedFault(const GpuContext& ctx, cl_step step) {
  return ctx.options.inject_fault ? ctx.options.inject_fault(step, ctx.ordinal) : CL_SUCCESS;
}

}  // namespace gpu
