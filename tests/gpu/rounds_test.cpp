// Real search rounds with the embedded kernels on the first OpenCL device
// (PoCL in CI): every reported nonce set must equal the set the CPU
// CryptoNight finds for the same nonces. A missing device fails the tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "crypto/algorithm.h"
#include "crypto/cryptonight.h"
#include "gpu/gpu_context.h"
#include "gpu/kernel_table.h"
#include "gpu/launch.h"
#include "gpu/program.h"
#include "gpu_test_util.h"
#include "support/cpu_hash.h"

namespace {

constexpr uint32_t kGeneration = 9;

// Last 32-bit word (bytes 28..31, little endian) of the CPU hash of blob
// with the nonce's low 24 bits in bytes 39..41, as the prepare kernel does.
uint32_t CpuHashWord(crypto::CryptoNight& cpu, int32_t algorithm, std::vector<uint8_t> blob,
                     uint64_t nonce, uint64_t height) {
  blob[39] = static_cast<uint8_t>(nonce);
  blob[40] = static_cast<uint8_t>(nonce >> 8);
  blob[41] = static_cast<uint8_t>(nonce >> 16);
  uint8_t hash[32] = {};
  cpu.hash(algorithm, blob.data(), blob.size(), hash, height);
  return static_cast<uint32_t>(hash[28]) | static_cast<uint32_t>(hash[29]) << 8 |
         static_cast<uint32_t>(hash[30]) << 16 | static_cast<uint32_t>(hash[31]) << 24;
}

std::vector<uint8_t> RandomBlob(size_t length, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> blob(length);
  for (uint8_t& byte : blob) byte = static_cast<uint8_t>(random());
  return blob;
}

// An algorithm and the height of its jobs (the random loop's program).
struct RoundSetup {
  int32_t algorithm;
  uint64_t height;
};
void PrintTo(const RoundSetup& setup, std::ostream* out) {
  *out << setup.algorithm << " at height " << setup.height;
}

class RealKernels : public ::testing::TestWithParam<RoundSetup> {
 protected:
  void SetUp() override {
    // Shared between runs: the first run pays the kernel build.
    gpu_test::TestProgram().cache_root = ORBECK_TEST_CACHE_DIR;
    gpu_test::TestProgram().kernel_source = "";
  }
  void TearDown() override { gpu_test::ReleaseTestGpu(); }

  // Runs one round of `count` nonces from `first` and checks the reported
  // list against the CPU. `passing` sets the target from the CPU hashes
  // (that many nonces pass); 0 keeps `target`.
  void CheckRound(int32_t algorithm, const std::vector<uint8_t>& blob, uint64_t first,
                  uint32_t count, size_t passing, uint32_t target, uint64_t height = 0) {
    std::vector<uint32_t> words;
    for (uint64_t n = first; n < first + count; ++n) {
      words.push_back(CpuHashWord(*cpu_, algorithm, blob, n, height));
    }
    if (passing > 0) {
      std::vector<uint32_t> sorted = words;
      std::sort(sorted.begin(), sorted.end());
      target = sorted[passing];
    }
    std::set<uint32_t> expected;
    for (uint32_t i = 0; i < count; ++i) {
      if (words[i] < target) expected.insert(static_cast<uint32_t>(first + i));
    }

    gpu_test::CapturedOutput output;
    ASSERT_EQ(gpu_test::InitTestGpu(algorithm, static_cast<int32_t>(count), 1), 0) << output.Take();
    gpu::GpuContext& ctx = gpu_test::TestGpus()[0];
    ASSERT_EQ(ctx.queues[0].threads, count);
    ctx.nonce_counter = first;
    ASSERT_TRUE(gpu::SetGpuJob(ctx, kGeneration, blob.data(), static_cast<uint32_t>(blob.size()),
                             target, static_cast<uint32_t>(algorithm), 0, height).is_ok());
    ASSERT_TRUE(gpu::RunGpuRound(ctx, 0).is_ok());
    ASSERT_TRUE(gpu::WaitGpuQueue(ctx, 0).is_ok()) << output.Take();
    const gpu::GpuQueue& q = ctx.queues[0];
    const uint32_t reported = q.results[gpu::kResultCountWord];
    EXPECT_EQ(reported, expected.size());
    const std::set<uint32_t> got(q.results, q.results + std::min<uint32_t>(reported, 255));
    EXPECT_EQ(got, expected);
    EXPECT_EQ(ctx.nonce_counter, first + count);
    EXPECT_EQ(output.Take().find("Error"), std::string::npos);
  }

  std::unique_ptr<crypto::CryptoNight> cpu_ = support::cpu_hash();
};

// 32 nonces: the host set-up is what differs between rows here; the kernels'
// exactness over 64 nonces per row is the kernel tests' part.
TEST_P(RealKernels, ReportExactlyTheNoncesTheCpuFinds) {
  const RoundSetup setup = GetParam();
  // The random loop's heavy per-hash work: 16 nonces are enough for its
  // host side (the kernel tests compare it over many more).
  const bool random =
      crypto::kAlgorithms[setup.algorithm].loop == crypto::loop_family::random;
  CheckRound(setup.algorithm, RandomBlob(76, 100 + static_cast<uint32_t>(setup.algorithm)), 0,
             random ? 16 : 32, 3, 0, setup.height);
}

// The rows of 2018, and of the later rows the first of each scratchpad family
// they add: the host side (buffers, the family's bound kernels, the launch
// shapes) is all that differs between rows of one family, and every row's
// kernels are compared with the CPU over 64 nonces by the kernel tests
// (CryptoNightKernelRound), so the others would repeat minutes of PoCL work.
// The random loop's kernel comes from a program per height group: the last
// and the first height of two neighbouring groups.
std::vector<RoundSetup> HostSetups() {
  std::vector<RoundSetup> setups;
  std::set<int> families;
  for (int32_t id = 0; id < crypto::kAlgoCount; ++id) {
    const int family = gpu::FamilyOf(crypto::kAlgorithms[id]);
    if (id < crypto::kCryptoNightHalf || families.count(family) == 0) setups.push_back({id, 0});
    families.insert(family);
  }
  setups.push_back({crypto::kCryptoNightR, 1806263});
  setups.push_back({crypto::kCryptoNightR, 1806264});
  return setups;
}

INSTANTIATE_TEST_SUITE_P(EveryAlgorithm, RealKernels, ::testing::ValuesIn(HostSetups()));

TEST_F(RealKernels, ARoundAcrossA24BitBoundaryMatchesTheCpu) {
  // Nonces 0xFFFFE0 .. 0x100001F: the blob carries only the low 24 bits.
  CheckRound(crypto::kCryptoNightV7, RandomBlob(76, 7), 0xFFFFE0, 64, 4, 0);
}

TEST_F(RealKernels, ShortBlobsOfTheTweakAlgorithmsMatchTheCpu) {
  // Below 43 bytes the tweak algorithms hash to zero: every nonce passes.
  const std::vector<uint8_t> blob = RandomBlob(42, 8);
  for (int32_t algorithm = 0; algorithm < crypto::kAlgoCount; ++algorithm) {
    if (!crypto::uses_v7_tweak(algorithm)) continue;
    SCOPED_TRACE(algorithm);
    CheckRound(algorithm, blob, 0, 16, 0, 0x10000);
    gpu_test::ReleaseTestGpu();
  }
}

}  // namespace
