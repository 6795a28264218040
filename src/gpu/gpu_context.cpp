#include "gpu/gpu_context.h"

namespace gpu {
namespace {

std::atomic<uint32_t> g_current_scratchpad_size{0};
std::atomic<int32_t> g_current_setup_algorithm{0};

}  // namespace

void SetAbortFlag(GpuQueue& queue, bool abort) {
  std::atomic_ref<uint32_t>(queue.abort_flag).store(abort ? 1u : 0u);
}

bool AbortFlag(GpuQueue& queue) {
  return std::atomic_ref<uint32_t>(queue.abort_flag).load() != 0;
}

std::span<const uint32_t> round_results(const GpuQueue& queue) {
  const uint32_t count = queue.results[kResultCountWord];
  if (count == 0 || count >= kMaxUsableResults) return {};
  return std::span<const uint32_t>(queue.results, count);
}

std::vector<GpuContext>& gpu_contexts() {
  static std::vector<GpuContext> contexts;
  return contexts;
}

uint32_t current_scratchpad_size() { return g_current_scratchpad_size.load(); }

void set_current_scratchpad_size(uint32_t bytes) { g_current_scratchpad_size.store(bytes); }

int32_t current_setup_algorithm() { return g_current_setup_algorithm.load(); }

void set_current_setup_algorithm(int32_t algorithm) { g_current_setup_algorithm.store(algorithm); }

}  // namespace gpu
