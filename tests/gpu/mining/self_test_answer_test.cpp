// The self-test's expected answers are constants; recompute each with the
// CPU hash so they can never go stale.
#include <gtest/gtest.h>

#include <cstring>

#include "crypto/algorithm.h"
#include "crypto/cryptonight.h"
#include "gpu/self_test.h"
#include "support/cpu_hash.h"

namespace gpu {
namespace {

TEST(SelfTestAnswer, EveryConstantMatchesTheCpuHash) {
  const auto hasher = support::cpu_hash();
  const std::vector<uint8_t> blob = SelfTestBlob();
  for (int32_t id = 0; id < crypto::kAlgoCount; ++id) {
    const self_test_answer& answer = SelfTestAnswer(id);
    std::vector<uint32_t> passing;
    for (uint32_t i = 0; i < kSelfTestNonceCount; ++i) {
      const uint32_t nonce = kSelfTestFirstNonce + i;
      std::vector<uint8_t> b = blob;
      // The kernels write the low 24 bits; byte 42 stays as in the blob.
      b[39] = static_cast<uint8_t>(nonce);
      b[40] = static_cast<uint8_t>(nonce >> 8);
      b[41] = static_cast<uint8_t>(nonce >> 16);
      uint8_t hash[32];
      hasher->hash(id, b.data(), b.size(), hash, kSelfTestHeight);
      uint32_t word;
      std::memcpy(&word, hash + 28, 4);
      if (word < answer.target) passing.push_back(nonce);
    }
    EXPECT_EQ(passing, answer.nonces) << crypto::algorithm_name(id);
    EXPECT_GE(answer.nonces.size(), 2u);  // the answer must be able to catch a fault
  }
}

TEST(SelfTestAnswer, TheRangeCrossesATwentyFourBitBoundary) {
  EXPECT_LT(kSelfTestFirstNonce, 0x1000000u);
  EXPECT_GT(kSelfTestFirstNonce + kSelfTestNonceCount, 0x1000000u);
  EXPECT_GE(kSelfTestNonceCount, 64u);
}

}  // namespace
}  // namespace gpu
