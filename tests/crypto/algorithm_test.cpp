#include "crypto/algorithm.h"

#include <gtest/gtest.h>

#include <set>
#include <utility>
#include <string>

namespace crypto {
namespace {

TEST(AlgorithmCatalogue, NamesAsPrinted) {
  const char* names[kAlgoCount] = {
      "CryptoNight",        "CryptoNightV7",       "CryptoNight-Heavy",    "CryptoNight-Lite",
      "CryptoNightV7-Lite", "CryptoNightTUBE-Heavy", "CryptoNightXTL",     "CryptoNightXHV-Heavy",
      "CryptoNight-Fast",   "CryptoNightFEST",     "CryptoNightV8",        "CryptoNight-Half",
      "CryptoNight-RWZ",    "CryptoNight-ZLS",     "CryptoNight-Double",   "CryptoNight-XAO",
      "CryptoNight-CCX",    "CryptoNight-Pico",    "CryptoNight-PicoTLO",  "CryptoNight-UPX2",
      "CryptoNightR", "CryptoNight-GPU"};
  const char* pool_names[kAlgoCount] = {
      "cn/0",    "cn/1",    "cn-heavy/0", "cn-lite/0", "cn-lite/1", "cn-heavy/tube", "cn/xtl",
      "cn-heavy/xhv", "cn/msr", "cn/rto", "cn/2", "cn/half", "cn/rwz", "cn/zls", "cn/double",
      "cn/xao", "cn/ccx", "cn-pico", "cn-pico/tlo", "cn/upx2", "cn/r", "cn/gpu"};
  for (int32_t id = 0; id < kAlgoCount; ++id) {
    EXPECT_STREQ(algorithm_name(id), names[id]);
    EXPECT_STREQ(kAlgorithms[id].pool_name, pool_names[id]);
    ASSERT_NE(find_algorithm(id), nullptr);
    EXPECT_EQ(find_algorithm(id)->id, id);
  }
  EXPECT_STREQ(algorithm_name(-1), "CryptoNight");
  EXPECT_STREQ(algorithm_name(kAlgoCount), "CryptoNight");
  EXPECT_EQ(find_algorithm(-1), nullptr);
  EXPECT_EQ(find_algorithm(kAlgoCount), nullptr);
}

TEST(AlgorithmCatalogue, ScratchpadSizesMasksAndClasses) {
  EXPECT_EQ(scratchpad_size(-1), kScratchpadNormal);
  EXPECT_EQ(scratchpad_size(-7), kScratchpadNormal);
  EXPECT_EQ(scratchpad_size(kAlgoCount), kScratchpadNormal);
  EXPECT_EQ(scratchpad_size(7), kScratchpadHeavy);
  // KiB per id.
  const uint32_t kib[kAlgoCount] = {2048, 2048, 4096, 1024, 1024, 4096, 2048, 4096, 2048, 2048,
                                    2048, 2048, 2048, 2048, 2048, 2048, 2048, 256,  256,  128,
                                    2048, 2048};
  for (int32_t id = 0; id < kAlgoCount; ++id) {
    EXPECT_EQ(scratchpad_size(id), kib[id] * 1024u) << id;
    const algorithm_info* info = find_algorithm(id);
    EXPECT_EQ(info->scratchpad, scratchpad_size(id));
    // cn-pico/0 walks only the first half of its 256 KiB; cn/gpu's loop
    // takes whole 64-byte groups.
    const uint32_t mask = id == kCryptoNightPico ? 0x1FFF0u
                          : id == kCryptoNightGpu ? info->scratchpad - 64
                                                  : info->scratchpad - 16;
    EXPECT_EQ(info->mask, mask) << id;
  }
  const std::pair<int32_t, size_class> classes[] = {
      {3, size_class::light},  {4, size_class::light},         {2, size_class::heavy},
      {5, size_class::heavy},  {7, size_class::heavy},         {17, size_class::pico},
      {18, size_class::pico},  {19, size_class::extreme_lite}, {-1, size_class::normal},
      {0, size_class::normal}, {10, size_class::normal},       {16, size_class::normal},
      {kAlgoCount, size_class::normal}};
  for (const auto& [id, expected] : classes) EXPECT_EQ(size_class_of(id), expected) << id;
}

TEST(AlgorithmCatalogue, IterationsAndRules) {
  const uint32_t iterations[kAlgoCount] = {
      0x80000, 0x80000, 0x40000, 0x40000, 0x40000, 0x40000,  0x80000, 0x40000, 0x40000, 0x80000,
      0x80000, 0x40000, 0x60000, 0x60000, 0x100000, 0x100000, 0x40000, 0x10000, 0x10000, 0x4000,
      0x80000, 0xC000};
  std::set<int32_t> tweak, v8_loop, reversed, concealed, float_loop, state_final;
  for (int32_t id = 0; id < kAlgoCount; ++id) {
    const algorithm_info* info = find_algorithm(id);
    EXPECT_EQ(info->iterations, iterations[id]) << id;
    if (uses_v7_tweak(id)) tweak.insert(id);
    if (info->loop == loop_family::v8) v8_loop.insert(id);
    if (info->reverse_shuffle) reversed.insert(id);
    if (info->conceal) concealed.insert(id);
    if (info->loop == loop_family::float_chains) float_loop.insert(id);
    if (info->final_step == final_rule::state) state_final.insert(id);
    EXPECT_EQ(info->keccak_fill, info->loop == loop_family::float_chains) << id;
    EXPECT_EQ(info->main_items_per_hash, info->loop == loop_family::float_chains ? 16 : 1) << id;
    EXPECT_EQ(info->min_blob_length, uses_v7_tweak(id) ? 43u : 0u) << id;
    // cn/gpu folds like the heavy rows; its Keccak fill replaces the AES one.
    EXPECT_EQ(info->heavy_fill, info->scratchpad == kScratchpadHeavy || info->keccak_fill) << id;
  }
  EXPECT_EQ(tweak, (std::set<int32_t>{1, 4, 5, 6, 8, 9}));
  EXPECT_EQ(v8_loop, (std::set<int32_t>{10, 11, 12, 13, 14, 17, 18, 19}));
  EXPECT_EQ(reversed, (std::set<int32_t>{12, 19}));
  EXPECT_EQ(concealed, (std::set<int32_t>{16}));
  EXPECT_EQ(float_loop, (std::set<int32_t>{kCryptoNightGpu}));
  EXPECT_EQ(state_final, (std::set<int32_t>{kCryptoNightGpu}));
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
  EXPECT_FALSE(uses_v7_tweak(-1));
  EXPECT_FALSE(uses_v7_tweak(kAlgoCount));
}

// The packed kernel variant must keep every rule apart: rows with the same
// main-loop rules share a number, rows with different rules never do.
TEST(AlgorithmCatalogue, KernelVariantsSeparateTheRuleSets) {
  auto rules = [](const algorithm_info& info) {
    return std::to_string(info.v7_shift) + "/" + std::to_string(info.second_lane_xor_a0) + "/" +
           std::to_string(static_cast<int>(info.division)) + "/" +
           std::to_string(info.inverted_aes) + "/" + std::to_string(static_cast<int>(info.loop)) +
           "/" + std::to_string(info.heavy_fill) + "/" + std::to_string(info.reverse_shuffle) +
           "/" + std::to_string(info.conceal) + "/" + std::to_string(info.keccak_fill) + "/" +
           std::to_string(static_cast<int>(info.final_step));
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

// Pools and users name an algorithm by its pool name, alias or one of its
// other names, in any case; near misses and other families' names are no
// algorithm of this build.
TEST(AlgorithmCatalogue, PoolNamesAliasesAndArguments) {
  const std::pair<const char*, int32_t> names[] = {
      {"cn/2", 10},          {"cn/fast", 8},        {"cn/msr", 8},
      {"cn/half", 11},       {"CN/Half", 11},       {"cryptonight/xtlv9", 11},
      {"cn/rwz", 12},        {"cryptonight/rwz", 12}, {"cn/zls", 13},
      {"cn/double", 14},     {"cn/xao", 15},        {"cryptonight_alloy", 15},
      {"cn/ccx", 16},        {"cn/conceal", 16},    {"cn-pico", 17},
      {"cn-pico/trtl", 17},  {"CN-PICO/0", 17},     {"cn_turtle", 17},
      {"cn-pico/tlo", 18},   {"cn/ultra", 18},      {"cn_talleo", 18},
      {"cn/upx2", 19},       {"cn-extremelite/upx2", 19}, {"cn/gpu", kCryptoNightGpu},
      {"CryptoNight/GPU", kCryptoNightGpu}, {"cn/gp", -1},
      {"", -1},              {"cn", -1},            {"cn/ha", -1},
      {"cn/half ", -1},      {"cn/turtle", -1},     {"cn/turtle-lite", -1},
      {"cn/r", 20},         {"CryptoNight/R", 20},
      {"cn/dark", -1},       {"cn/rr", -1},         {"cn-pico/trt", -1}};
  for (const auto& [name, id] : names) EXPECT_EQ(find_algorithm_by_pool_name(name), id) << name;

  struct argument_case {
    const char* text;
    bool ok;
    int32_t id;
  };
  const argument_case arguments[] = {
      {"-1", true, -1},   {"0", true, 0},          {"20", true, 20},      {"21", true, 21},
      {"-7", true, -7},   {"cn/rwz", true, 12},    {"CN-PICO", true, 17}, {"abc", false, 0},
      {"1x", false, 0},   {" 1", false, 0},        {"", false, 0},        {"-", false, 0},
      {"+3", false, 0},   {"99999999999", false, 0}, {"cn/r", true, 20}};
  for (const argument_case& c : arguments) {
    int32_t id = 12345;
    EXPECT_EQ(parse_algorithm_argument(c.text, id), c.ok) << c.text;
    EXPECT_EQ(id, c.ok ? c.id : 12345) << c.text;
  }
}

TEST(AlgorithmCatalogue, AutoDetectFromMajorVersion) {
  EXPECT_EQ(detect_algorithm(0), kCryptoNight);
  EXPECT_EQ(detect_algorithm(1), kCryptoNight);
  EXPECT_EQ(detect_algorithm(2), kCryptoNightV7);
  EXPECT_EQ(detect_algorithm(7), kCryptoNightV7);
  EXPECT_EQ(detect_algorithm(8), kCryptoNightV8);
  EXPECT_EQ(detect_algorithm(9), kCryptoNightV8);
  // Versions 10 and 11 hash with the per-height program; 12 and above are
  // no blob of this family (they used to be mined as cn/2 and rejected).
  EXPECT_EQ(detect_algorithm(10), kCryptoNightR);
  EXPECT_EQ(detect_algorithm(11), kCryptoNightR);
  EXPECT_EQ(detect_algorithm(12), kAlgoNotDetected);
  EXPECT_EQ(detect_algorithm(255), kAlgoNotDetected);
  EXPECT_EQ(find_algorithm(kAlgoNotDetected), nullptr);
}

}  // namespace
}  // namespace crypto
