#include "gpu/self_test.h"

#include <algorithm>
#include <array>
#include <iterator>

#include "crypto/algorithm.h"
#include "gpu/launch.h"

namespace gpu {
namespace {

// The answers of the catalogue rows (crypto::known_answer), computed with
// the CPU hash over SelfTestBlob() and the nonce range; a unit test
// recomputes every entry so they can never go stale.
const std::array<self_test_answer, crypto::kAlgoCount>& Answers() {
  static const std::array<self_test_answer, crypto::kAlgoCount> answers = [] {
    std::array<self_test_answer, crypto::kAlgoCount> table;
    for (const crypto::algorithm_info& info : crypto::kAlgorithms) {
      const crypto::known_answer& known = info.self_test;
      table[info.id] = {known.target, std::vector<uint32_t>(std::begin(known.nonces),
                                                            std::end(known.nonces))};
    }
    return table;
  }();
  return answers;
}

}  // namespace

std::vector<uint8_t> SelfTestBlob() {
  std::vector<uint8_t> blob(kSelfTestBlobLength);
  for (uint32_t i = 0; i < kSelfTestBlobLength; ++i) blob[i] = static_cast<uint8_t>(i * 13 + 5);
  blob[0] = 7;
  return blob;
}

const self_test_answer& SelfTestAnswer(int32_t algorithm) {
  const int32_t id = std::clamp<int32_t>(algorithm, 0, crypto::kAlgoCount - 1);
  return Answers()[id];
}

bool RunSelfTest(GpuContext& gpu, int32_t algorithm, const self_test_answer& answer) {
  if (crypto::find_algorithm(algorithm) == nullptr || gpu.queue_count < 1) return false;
  GpuQueue& queue = gpu.queues[0];
  const uint64_t saved_threads = queue.threads;
  const uint64_t saved_counter = gpu.nonce_counter;
  const uint64_t saved_generation = queue.job_generation;

  // Rounds of exactly the test range: the kernels take the round size from
  // the launch, and the buffers are at least this large. The last round is
  // cut to the nonces left, so a round size that does not divide the range
  // (48, say) does not report nonces past it.
  const std::vector<uint8_t> blob = SelfTestBlob();
  std::vector<uint32_t> reported;
  bool ran = SetGpuJob(gpu, kOwnJobGeneration, blob.data(), kSelfTestBlobLength, answer.target,
                       static_cast<uint32_t>(algorithm), 0, kSelfTestHeight)
                 .is_ok();
  uint64_t covered = 0;
  while (ran && covered < kSelfTestNonceCount) {
    queue.threads = std::min<uint64_t>(kSelfTestNonceCount - covered, saved_threads);
    gpu.nonce_counter = kSelfTestFirstNonce + covered;
    SetAbortFlag(queue, false);
    ran = RunGpuRound(gpu, 0).is_ok();
    // Always waited for, so the queue is idle afterwards; a round the
    // device failed has no valid results.
    ran = WaitGpuQueue(gpu, 0).is_ok() && ran;
    // Every reported nonce counts here, not only lists under sixteen.
    const uint32_t count = std::min<uint32_t>(queue.results[kResultCountWord], kResultCountWord);
    reported.insert(reported.end(), queue.results, queue.results + count);
    covered += queue.threads;
  }

  queue.threads = saved_threads;
  gpu.nonce_counter = saved_counter;
  queue.job_generation = saved_generation;
  for (GpuQueue& q : gpu.queues) q.input_dirty.store(true);

  std::sort(reported.begin(), reported.end());
  return ran && reported == answer.nonces;
}

}  // namespace gpu
