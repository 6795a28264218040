#include "gpu/self_test.h"

#include <algorithm>
#include <atomic>

#include "crypto/algorithm.h"
#include "gpu/launch.h"

namespace gpu {
namespace {

// Computed with the CPU hash over SelfTestBlob() and the nonce range; a unit
// test recomputes every entry so they can never go stale.
const self_test_answer kAnswers[crypto::kAlgoCount] = {
    {0x16E7D63F, {0x00FFFFEE, 0x00FFFFF6, 0x00FFFFFE, 0x01000018}},  // CryptoNight
    {0x1EADDF6C, {0x00FFFFEB, 0x01000000, 0x01000003, 0x01000004}},  // CryptoNightV7
    {0x07689C03, {0x00FFFFE2, 0x00FFFFEB, 0x00FFFFFA, 0x0100001E}},  // CryptoNight-Heavy
    {0x1F822004, {0x00FFFFED, 0x00FFFFF0, 0x01000007, 0x0100001E}},  // CryptoNight-Lite
    {0x1F87B5BD, {0x00FFFFF3, 0x00FFFFF8, 0x01000016, 0x01000019}},  // CryptoNightV7-Lite
    {0x12F4DC90, {0x00FFFFE1, 0x00FFFFFB, 0x01000008, 0x01000014}},  // CryptoNightTUBE-Heavy
    {0x07853E12, {0x00FFFFE0, 0x00FFFFE3, 0x00FFFFE8, 0x01000009}},  // CryptoNightXTL
    {0x06FCA3FB, {0x00FFFFE9, 0x00FFFFF0, 0x00FFFFF3, 0x00FFFFFB}},  // CryptoNightXHV-Heavy
    {0x16509B25, {0x00FFFFEF, 0x0100000A, 0x01000014, 0x0100001F}},  // CryptoNight-Fast
    {0x069643F7, {0x00FFFFF2, 0x00FFFFF4, 0x01000009, 0x01000015}},  // CryptoNightFEST
    {0x10F439AA, {0x00FFFFE4, 0x00FFFFF5, 0x01000009, 0x0100000B}},  // CryptoNightV8
};

std::atomic<const self_test_answer*> overrides[crypto::kAlgoCount] = {};

}  // namespace

std::vector<uint8_t> SelfTestBlob() {
  std::vector<uint8_t> blob(kSelfTestBlobLength);
  for (uint32_t i = 0; i < kSelfTestBlobLength; ++i) blob[i] = static_cast<uint8_t>(i * 13 + 5);
  blob[0] = 7;
  return blob;
}

const self_test_answer& SelfTestAnswer(int32_t algorithm) {
  const int32_t id = std::clamp<int32_t>(algorithm, 0, crypto::kAlgoCount - 1);
  const self_test_answer* replaced = overrides[id].load();
  return replaced != nullptr ? *replaced : kAnswers[id];
}

void OverrideSelfTestAnswer(int32_t algorithm, const self_test_answer* answer) {
  if (algorithm >= 0 && algorithm < crypto::kAlgoCount) overrides[algorithm].store(answer);
}

bool RunSelfTest(GpuContext& gpu, int32_t algorithm) {
  if (crypto::find_algorithm(algorithm) == nullptr || gpu.queue_count < 1) return false;
  const self_test_answer& answer = SelfTestAnswer(algorithm);
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
  bool ran = SetGpuJob(gpu, 0, blob.data(), kSelfTestBlobLength, answer.target,
                       static_cast<uint32_t>(algorithm), 0) == 0;
  uint64_t covered = 0;
  while (ran && covered < kSelfTestNonceCount) {
    queue.threads = std::min<uint64_t>(kSelfTestNonceCount - covered, saved_threads);
    gpu.nonce_counter = kSelfTestFirstNonce + covered;
    SetAbortFlag(queue, false);
    ran = RunGpuRound(gpu, 0) == 0;
    WaitGpuQueue(gpu, 0);
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
