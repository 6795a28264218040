// Whole search rounds against the CPU CryptoNight: for every algorithm id the
// set of nonces a round reports must equal the set whose CPU hash meets the
// target, nonce by nonce.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>

#include "crypto/algorithm.h"
#include "crypto/cryptonight.h"
#include "gpu/self_test.h"
#include "kernel_programs.h"
#include "support/cpu_hash.h"

namespace kernel_test {
namespace {

constexpr size_t kHashes = 64;

crypto::CryptoNight& Cpu() {
  static const auto cpu = support::cpu_hash();
  return *cpu;
}

std::vector<uint8_t> RandomBlob(size_t length, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> blob(length);
  for (uint8_t& byte : blob) byte = static_cast<uint8_t>(random());
  return blob;
}

// Hash word 7 of nonce `nonce` as the executor computes it: the low 24 bits
// go into blob bytes 39..41 where the blob has them, byte 42 stays.
uint32_t CpuWord7(int algorithm, std::vector<uint8_t> blob, uint32_t nonce, uint64_t height) {
  for (size_t i = 39; i < 42 && i < blob.size(); ++i) {
    blob[i] = static_cast<uint8_t>(nonce >> (8 * (i - 39)));
  }
  uint8_t out[32] = {};
  Cpu().hash(algorithm, blob.data(), blob.size(), out, height);
  uint32_t word7 = 0;
  std::memcpy(&word7, out + 28, 4);
  return word7;
}

struct Expectation {
  uint32_t target;
  std::set<uint32_t> nonces;
  std::vector<uint32_t> words;  // word 7 of each nonce's CPU hash, in order
};

// A target that a few of the round's nonces meet (the fifth smallest word 7),
// unless all hashes are equal, and the nonces that meet it.
Expectation Expect(int algorithm, const std::vector<uint8_t>& blob, uint32_t offset,
                   size_t hashes, uint64_t height) {
  std::vector<uint32_t> words;
  for (size_t g = 0; g < hashes; ++g) {
    words.push_back(CpuWord7(algorithm, blob, offset + static_cast<uint32_t>(g), height));
  }
  std::vector<uint32_t> sorted = words;
  std::sort(sorted.begin(), sorted.end());
  Expectation expectation;
  expectation.words = words;
  expectation.target = std::max<uint32_t>(sorted[4], 1);
  for (size_t g = 0; g < hashes; ++g) {
    if (words[g] < expectation.target) expectation.nonces.insert(offset + static_cast<uint32_t>(g));
  }
  return expectation;
}

// `cpu_words`, when given, receives word 7 of each nonce's CPU hash.
void CheckRound(int algorithm, const std::vector<uint8_t>& blob, uint32_t offset,
                uint64_t height = 0, size_t hashes = kHashes,
                std::vector<uint32_t>* cpu_words = nullptr) {
  ASSERT_TRUE(Env().ok()) << Env().error();
  std::string log;
  cl_program program = MinerProgram(&log);
  ASSERT_NE(program, nullptr) << log;
  const Expectation expectation = Expect(algorithm, blob, offset, hashes, height);
  if (cpu_words != nullptr) *cpu_words = expectation.words;
  RoundRunner runner(Env(), program, hashes, ChoiceFor(algorithm).scratchpad_bytes);
  ASSERT_TRUE(runner.error().empty()) << runner.error();
  const std::vector<uint32_t> reported =
      runner.Round(algorithm, blob, offset, expectation.target, height);
  ASSERT_TRUE(runner.error().empty()) << runner.error();
  EXPECT_EQ(runner.last_count(), reported.size());
  const std::set<uint32_t> reported_set(reported.begin(), reported.end());
  EXPECT_EQ(reported_set.size(), reported.size()) << "a nonce was reported twice";
  EXPECT_EQ(reported_set, expectation.nonces)
      << "id " << algorithm << ", blob of " << blob.size() << " bytes, offset " << offset
      << ", height " << height << ", target " << expectation.target;
  const std::vector<uint32_t> branches = runner.BranchCounts();
  uint32_t listed = 0;
  for (uint32_t count : branches) listed += count;
  EXPECT_EQ(listed, hashes) << "every hash goes to exactly one branch";
}

class CryptoNightKernelRound : public ::testing::TestWithParam<int> {};

// Each row's round is the self-test's: its blob, its nonces (across a
// 24-bit boundary) and its height. The same CPU hashes then recompute the
// self-test's constant answer for the row, so it can never go stale.
TEST_P(CryptoNightKernelRound, ReportsExactlyTheCpuNonces) {
  const int id = GetParam();
  std::vector<uint32_t> words;
  CheckRound(id, gpu::SelfTestBlob(), gpu::kSelfTestFirstNonce, gpu::kSelfTestHeight,
             gpu::kSelfTestNonceCount, &words);
  ASSERT_EQ(words.size(), gpu::kSelfTestNonceCount);
  const gpu::self_test_answer& answer = gpu::SelfTestAnswer(id);
  std::vector<uint32_t> passing;
  for (uint32_t i = 0; i < gpu::kSelfTestNonceCount; ++i) {
    if (words[i] < answer.target) passing.push_back(gpu::kSelfTestFirstNonce + i);
  }
  EXPECT_EQ(passing, answer.nonces) << crypto::algorithm_name(id);
  EXPECT_GE(answer.nonces.size(), 2u);  // the answer must be able to catch a fault
}

TEST(SelfTestAnswer, TheRangeCrossesATwentyFourBitBoundary) {
  EXPECT_LT(gpu::kSelfTestFirstNonce, 0x1000000u);
  EXPECT_GT(gpu::kSelfTestFirstNonce + gpu::kSelfTestNonceCount, 0x1000000u);
  EXPECT_GE(gpu::kSelfTestNonceCount, 64u);
}

// Every row of the table: scripts/device-check reads each id's exactness on a
// real GPU from these.
INSTANTIATE_TEST_SUITE_P(AllAlgorithms, CryptoNightKernelRound,
                         ::testing::Range(0, static_cast<int>(crypto::kAlgoCount)));

// The random loop at heights whose programs differ in length and in the
// generator's paths (the longest program, four attempts), each against the
// CPU hash at the same height, and the last slot of a height group (the
// kernel picks each height's code from its group's); the row's round above
// is at the self-test's height and the vectors at seven more heights. 32
// nonces each: every hash is also a CPU hash.
TEST(CryptoNightKernelRound, RandomLoopMatchesTheCpuAtSeveralHeights) {
  for (uint64_t height : {1902112ull, 1938996ull, 1978431ull}) {
    CheckRound(crypto::kCryptoNightR, RandomBlob(76, static_cast<uint32_t>(height)),
               0x00456700u, height, 32);
  }
}

// cn/ccx has no minimum length: a blob under 43 bytes (the nonce bytes 39..41
// still in it) hashes like any other on the GPU.
TEST(CryptoNightKernelRound, ShortBlobUnderConcealHashesNormally) {
  CheckRound(crypto::kCryptoNightCcx, RandomBlob(42, 4242), 0x00345600u);
}

// Only the low 24 bits of the nonce go into the blob, while the reported
// nonce is the full 32-bit offset plus the item.
TEST(CryptoNightKernelRound, OffsetCrossingA24BitBoundaryKeepsFullNonces) {
  CheckRound(1, RandomBlob(76, 77), 0x12FFFFE0u);
  CheckRound(0, RandomBlob(76, 78), 0x00FFFFD0u);
}

// Under 43 bytes the tweak algorithms hash to 32 zero bytes: word 7 is 0, so
// every nonce meets any non-zero target.
TEST(CryptoNightKernelRound, ShortBlobUnderTweakAlgorithmsReportsEveryNonce) {
  ASSERT_TRUE(Env().ok()) << Env().error();
  std::string log;
  cl_program program = MinerProgram(&log);
  ASSERT_NE(program, nullptr) << log;
  for (int algorithm : {1, 4, 5, 6, 8, 9}) {
    const std::vector<uint8_t> blob = RandomBlob(42, 500 + algorithm);
    ASSERT_EQ(CpuWord7(algorithm, blob, 7, 0), 0u);
    RoundRunner runner(Env(), program, kHashes, ChoiceFor(algorithm).scratchpad_bytes);
    const uint32_t offset = 0x00ABCD00u;
    const std::vector<uint32_t> reported = runner.Round(algorithm, blob, offset, 1);
    ASSERT_TRUE(runner.error().empty()) << runner.error();
    std::set<uint32_t> expected;
    for (uint32_t g = 0; g < kHashes; ++g) expected.insert(offset + g);
    EXPECT_EQ(std::set<uint32_t>(reported.begin(), reported.end()), expected)
        << "id " << algorithm;
    EXPECT_TRUE(runner.Round(algorithm, blob, offset, 0).empty())
        << "id " << algorithm << ": a zero target is never met";
  }
}

// Ids without the length rule hash short blobs normally; under 42 bytes only
// the nonce bytes inside the blob change (none at all under 40 bytes).
// Rounds of 16: the blob length is what differs from the rows' rounds.
TEST(CryptoNightKernelRound, ShortBlobUnderOtherAlgorithmsIsHashed) {
  CheckRound(0, RandomBlob(40, 41), 0x00000100u, 0, 16);
  CheckRound(2, RandomBlob(42, 42), 0x00000200u, 0, 16);
  CheckRound(3, RandomBlob(13, 43), 0x00000300u, 0, 16);
  CheckRound(7, RandomBlob(41, 44), 0x00000400u, 0, 16);
  CheckRound(10, RandomBlob(42, 45), 0x00000500u, 0, 16);
}

// Output words 0..254 hold nonces; the count word keeps counting past them.
TEST(CryptoNightKernelRound, MoreThan255ResultsNeverOverwriteTheCount) {
  ASSERT_TRUE(Env().ok()) << Env().error();
  std::string log;
  cl_program program = MinerProgram(&log);
  ASSERT_NE(program, nullptr) << log;
  RoundRunner runner(Env(), program, 256, ChoiceFor(4).scratchpad_bytes);
  const std::vector<uint32_t> reported = runner.Round(4, RandomBlob(30, 9), 1000, 0xFFFFFFFFu);
  ASSERT_TRUE(runner.error().empty()) << runner.error();
  EXPECT_EQ(runner.last_count(), 256u);
  ASSERT_EQ(reported.size(), 255u);
  const std::set<uint32_t> distinct(reported.begin(), reported.end());
  EXPECT_EQ(distinct.size(), 255u);
  EXPECT_GE(*distinct.begin(), 1000u);
  EXPECT_LT(*distinct.rbegin(), 1256u);
}

// With the run flag set the kernels stop early and report nothing.
TEST(CryptoNightKernelRound, RunFlagStopsTheRound) {
  ASSERT_TRUE(Env().ok()) << Env().error();
  std::string log;
  cl_program program = MinerProgram(&log);
  ASSERT_NE(program, nullptr) << log;
  RoundRunner runner(Env(), program, 16, ChoiceFor(0).scratchpad_bytes);
  runner.set_run_flag(1);
  const std::vector<uint32_t> reported = runner.Round(0, RandomBlob(76, 3), 0, 0xFFFFFFFFu);
  ASSERT_TRUE(runner.error().empty()) << runner.error();
  EXPECT_TRUE(reported.empty());
  EXPECT_EQ(runner.last_count(), 0u);
}

}  // namespace
}  // namespace kernel_test
