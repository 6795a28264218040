// The miners' interleaved hash against the reference: every row of the
// catalogue, one to four ways at once, blobs that differ per way.
#include "crypto/cryptonight_ways.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "crypto/algorithm.h"
#include "crypto/cryptonight.h"
#include "crypto/work_area.h"
#include "support/cpu_hash.h"

namespace crypto {
namespace {

class HashWays : public ::testing::TestWithParam<int32_t> {};

// Two ways for every row; one, three and four as well for a row of each
// loop family with a small scratchpad (the same template for every count).
// The reference runs once per blob and way count used.
TEST_P(HashWays, EqualsTheReference) {
  const int32_t algorithm = GetParam();
  uint8_t* areas = allocate_work_area(kWayStride * kMaxWays);
  ASSERT_NE(areas, nullptr);
  const auto reference = support::cpu_hash();
  // 76 bytes as a pool blob; the ways differ in their nonce bytes 39-42.
  uint8_t blobs[kMaxWays][76];
  for (int w = 0; w < kMaxWays; ++w) {
    for (int i = 0; i < 76; ++i) blobs[w][i] = static_cast<uint8_t>(i * 7 + algorithm);
    blobs[w][39] = static_cast<uint8_t>(w);
    blobs[w][42] = static_cast<uint8_t>(0x80 + w);
  }
  std::vector<int> counts = {2};
  if (algorithm == kCryptoNightV7Lite || algorithm == kCryptoNightUpx2) counts = {1, 2, 3, kMaxWays};
  uint8_t expected[kMaxWays][32];
  for (int w = 0; w < counts.back(); ++w)
    reference->hash(algorithm, blobs[w], sizeof(blobs[0]), expected[w]);
  for (int ways : counts) {
    const uint8_t* inputs[kMaxWays];
    uint8_t outs[kMaxWays][32] = {};
    uint8_t* outputs[kMaxWays];
    for (int w = 0; w < kMaxWays; ++w) {
      inputs[w] = blobs[w];
      outputs[w] = outs[w];
    }
    hash_ways(algorithm, ways, areas, inputs, sizeof(blobs[0]), outputs);
    for (int w = 0; w < ways; ++w)
      EXPECT_EQ(0, std::memcmp(expected[w], outs[w], 32)) << algorithm_name(algorithm) << " ways " << ways << " hash " << w;
  }
  free_work_area(areas);
}

INSTANTIATE_TEST_SUITE_P(EveryRow, HashWays, ::testing::Range(int32_t{0}, kAlgoCount));

TEST(HashWays, ServesTheBaseAndV8LoopsWithAesInstructions) {
  if (!have_aes_instructions()) {
    for (int32_t id = 0; id < kAlgoCount; ++id) EXPECT_FALSE(ways_supported(id));
    return;
  }
  EXPECT_TRUE(ways_supported(kCryptoNight));
  EXPECT_TRUE(ways_supported(kCryptoNightHeavy));
  EXPECT_TRUE(ways_supported(kCryptoNightV8));
  EXPECT_FALSE(ways_supported(kCryptoNightTubeHeavy));  // the inverted round
  EXPECT_FALSE(ways_supported(kCryptoNightCcx));        // the conceal step
  EXPECT_FALSE(ways_supported(-1));
  EXPECT_FALSE(ways_supported(kAlgoCount));
}

}  // namespace
}  // namespace crypto
