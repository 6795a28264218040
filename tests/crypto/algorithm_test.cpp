#include "crypto/algorithm.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace crypto {
namespace {

TEST(AlgorithmCatalogue, NamesAsPrinted) {
  const char* names[kAlgoCount] = {"CryptoNight",        "CryptoNightV7",        "CryptoNight-Heavy",
                                   "CryptoNight-Lite",   "CryptoNightV7-Lite",   "CryptoNightTUBE-Heavy",
                                   "CryptoNightXTL",     "CryptoNightXHV-Heavy", "CryptoNight-Fast",
                                   "CryptoNightFEST",    "CryptoNightV8"};
  for (int32_t id = 0; id < kAlgoCount; ++id) {
    EXPECT_STREQ(algorithm_name(id), names[id]);
    ASSERT_NE(find_algorithm(id), nullptr);
    EXPECT_EQ(find_algorithm(id)->id, id);
  }
  EXPECT_STREQ(algorithm_name(-1), "CryptoNight");
  EXPECT_STREQ(algorithm_name(11), "CryptoNight");
  EXPECT_EQ(find_algorithm(-1), nullptr);
  EXPECT_EQ(find_algorithm(11), nullptr);
}

TEST(AlgorithmCatalogue, ScratchpadSizesAndClasses) {
  EXPECT_EQ(scratchpad_size(-1), kScratchpadNormal);
  EXPECT_EQ(scratchpad_size(-7), kScratchpadNormal);
  EXPECT_EQ(scratchpad_size(11), kScratchpadNormal);
  EXPECT_EQ(scratchpad_size(7), kScratchpadHeavy);
  const uint32_t expected[kAlgoCount] = {2, 2, 4, 1, 1, 4, 2, 4, 2, 2, 2};
  for (int32_t id = 0; id < kAlgoCount; ++id) {
    EXPECT_EQ(scratchpad_size(id), expected[id] * 0x100000u) << id;
    const algorithm_info* info = find_algorithm(id);
    EXPECT_EQ(info->scratchpad, scratchpad_size(id));
    EXPECT_EQ(info->mask, info->scratchpad - 16);
  }
  EXPECT_EQ(size_class_of(3), size_class::light);
  EXPECT_EQ(size_class_of(4), size_class::light);
  for (int32_t id : {2, 5, 7}) EXPECT_EQ(size_class_of(id), size_class::heavy);
  for (int32_t id : {-1, 0, 1, 6, 8, 9, 10, 11}) EXPECT_EQ(size_class_of(id), size_class::normal);
}

TEST(AlgorithmCatalogue, IterationsAndRules) {
  const uint32_t iterations[kAlgoCount] = {0x80000, 0x80000, 0x40000, 0x40000, 0x40000, 0x40000,
                                           0x80000, 0x40000, 0x40000, 0x80000, 0x80000};
  std::set<int32_t> tweak;
  for (int32_t id = 0; id < kAlgoCount; ++id) {
    const algorithm_info* info = find_algorithm(id);
    EXPECT_EQ(info->iterations, iterations[id]) << id;
    if (uses_v7_tweak(id)) tweak.insert(id);
    EXPECT_EQ(info->min_blob_length, uses_v7_tweak(id) ? 43u : 0u) << id;
    EXPECT_EQ(info->heavy_fill, info->scratchpad == kScratchpadHeavy) << id;
  }
  EXPECT_EQ(tweak, (std::set<int32_t>{1, 4, 5, 6, 8, 9}));
  EXPECT_EQ(find_algorithm(6)->v7_shift, 3);
  EXPECT_EQ(find_algorithm(1)->v7_shift, 2);
  EXPECT_TRUE(find_algorithm(5)->inverted_aes);
  EXPECT_TRUE(find_algorithm(5)->second_lane_xor_a0);
  EXPECT_TRUE(find_algorithm(9)->second_lane_xor_a0);
  EXPECT_FALSE(find_algorithm(1)->second_lane_xor_a0);
  EXPECT_EQ(find_algorithm(7)->division, division_rule::not_d_xor_q);
  EXPECT_EQ(find_algorithm(2)->division, division_rule::d_xor_q);
  EXPECT_EQ(find_algorithm(5)->division, division_rule::d_xor_q);
  EXPECT_EQ(find_algorithm(0)->division, division_rule::none);
  EXPECT_TRUE(find_algorithm(10)->v8);
  EXPECT_FALSE(uses_v7_tweak(-1));
  EXPECT_FALSE(uses_v7_tweak(11));
}

// The packed kernel variant must keep every rule apart: rows with the same
// main-loop rules share a number, rows with different rules never do.
TEST(AlgorithmCatalogue, KernelVariantsSeparateTheRuleSets) {
  auto rules = [](const algorithm_info& info) {
    return std::to_string(info.v7_shift) + "/" + std::to_string(info.second_lane_xor_a0) + "/" +
           std::to_string(static_cast<int>(info.division)) + "/" +
           std::to_string(info.inverted_aes) + "/" + std::to_string(info.v8) + "/" +
           std::to_string(info.heavy_fill);
  };
  for (const algorithm_info& a : kAlgorithms) {
    for (const algorithm_info& b : kAlgorithms) {
      EXPECT_EQ(kernel_variant(a) == kernel_variant(b), rules(a) == rules(b))
          << a.name << " / " << b.name;
    }
  }
  EXPECT_EQ(kernel_variant(kAlgorithms[kCryptoNightV7]), kernel_variant(kAlgorithms[kCryptoNightFast]));
  EXPECT_EQ(kernel_variant(kAlgorithms[kCryptoNight]), 0u);
}

TEST(AlgorithmCatalogue, AutoDetectFromMajorVersion) {
  EXPECT_EQ(detect_algorithm(0), kCryptoNight);
  EXPECT_EQ(detect_algorithm(1), kCryptoNight);
  EXPECT_EQ(detect_algorithm(2), kCryptoNightV7);
  EXPECT_EQ(detect_algorithm(7), kCryptoNightV7);
  EXPECT_EQ(detect_algorithm(8), kCryptoNightV8);
  EXPECT_EQ(detect_algorithm(255), kCryptoNightV8);
}

}  // namespace
}  // namespace crypto
