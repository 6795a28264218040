// Buffers, arguments, launch shapes, offsets and result lists, checked on
// the first OpenCL device with stand-in kernels whose "hash" the test
// recomputes (mock_kernels.cl). A missing device fails these tests.
#include "gpu/launch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "crypto/algorithm.h"
#include "gpu/height_programs.h"
#include "gpu/program.h"
#include "gpu/random_source.h"
#include "gpu/reset.h"
#include "gpu_test_util.h"

namespace {

using gpu::GpuContext;
using gpu_test::InitTestGpu;
using gpu_test::ReleaseTestGpu;

constexpr int32_t kRoundHashes = 64;

// The kernels of each algorithm id (prepare, main, collect, tweak input).
struct ExpectedKernels {
  uint32_t prepare, main, collect;
  bool tweak;
};
constexpr ExpectedKernels kExpected[crypto::kAlgoCount] = {
    {0, 6, 28, false}, {0, 7, 28, true}, {1, 8, 29, false}, {2, 9, 30, false},
    {2, 10, 30, true}, {1, 15, 29, true}, {0, 12, 28, true}, {1, 13, 29, false},
    {0, 14, 28, true}, {0, 11, 28, true}, {0, 16, 28, false}, {0, 17, 28, false},
    {0, 18, 28, false}, {0, 19, 28, false}, {0, 20, 28, false}, {0, 21, 28, false},
    {0, 22, 28, false}, {3, 23, 31, false}, {3, 24, 31, false}, {4, 25, 32, false},
    {0, 26, 28, false}, {5, 27, 33, false},
};

uint32_t Mix(uint32_t x) {
  x ^= x >> 16;
  x *= 0x7feb352dU;
  x ^= x >> 15;
  x *= 0x846ca68bU;
  x ^= x >> 16;
  return x;
}

uint64_t Word(const uint8_t* bytes, int index) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | bytes[index * 8 + i];
  return value;
}

std::vector<uint8_t> Padded(const std::vector<uint8_t>& blob) {
  std::vector<uint8_t> padded(88, 0);
  std::copy(blob.begin(), blob.end(), padded.begin());
  padded[blob.size()] = 0x01;
  return padded;
}

// What mock_kernels.cl computes for one nonce of a round; `height` is the
// job's (the random loop's kernel records it).
uint32_t MockHash(uint64_t nonce, const std::vector<uint8_t>& padded, uint32_t algorithm,
                  uint64_t height = 0) {
  const ExpectedKernels& k = kExpected[algorithm];
  const uint64_t input = Word(padded.data(), 0) ^ Word(padded.data(), 4) ^ Word(padded.data(), 10);
  const uint64_t shape = 8 * 100 + 8 * 10 + 8;  // local 8 x 8, global second dimension 8
  const uint64_t main_local = crypto::kAlgorithms[algorithm].main_local_size;
  uint64_t input35 = 0;
  for (int i = 7; i >= 0; --i) input35 = (input35 << 8) | padded[35 + i];
  const uint64_t program_word =
      crypto::kAlgorithms[algorithm].loop == crypto::loop_family::random ? height : 0;
  const uint64_t folded = input ^ (uint64_t{k.prepare} << 8) ^ (shape << 16) ^
                          (uint64_t{k.main} << 32) ^ (main_local << 40) ^
                          (k.tweak ? input35 : 0) ^ program_word ^ (uint64_t{k.collect} << 48);
  const uint32_t branch = static_cast<uint32_t>(nonce & 3);
  return Mix(static_cast<uint32_t>(folded) ^ Mix(static_cast<uint32_t>(folded >> 32)) ^
             Mix(static_cast<uint32_t>(nonce) + branch * 0x9e3779b9U) ^ 8U * 7919U);
}

std::vector<uint8_t> RandomBlob(size_t length, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> blob(length);
  for (uint8_t& byte : blob) byte = static_cast<uint8_t>(random());
  return blob;
}

// A target that lets the `passing` smallest hashes of the range through.
uint32_t TargetFor(uint64_t first, uint64_t count, const std::vector<uint8_t>& blob,
                   uint32_t algorithm, size_t passing, uint64_t height = 0) {
  std::vector<uint32_t> hashes;
  for (uint64_t n = first; n < first + count; ++n) {
    hashes.push_back(MockHash(n, Padded(blob), algorithm, height));
  }
  std::sort(hashes.begin(), hashes.end());
  return hashes[passing];
}

std::set<uint32_t> ExpectedNonces(uint64_t first, uint64_t count, const std::vector<uint8_t>& blob,
                                  uint32_t algorithm, uint32_t target, uint64_t height = 0) {
  std::set<uint32_t> nonces;
  for (uint64_t n = first; n < first + count; ++n) {
    if (MockHash(n, Padded(blob), algorithm, height) < target) {
      nonces.insert(static_cast<uint32_t>(n));
    }
  }
  return nonces;
}

std::set<uint32_t> Reported(const gpu::GpuQueue& queue) {
  const auto results = gpu::round_results(queue);
  return std::set<uint32_t>(results.begin(), results.end());
}

class MockRound : public ::testing::Test {
 protected:
  void SetUp() override {
    gpu_test::TestProgram().cache_root = gpu_test::MockKernelCache();
    gpu_test::TestProgram().kernel_source = gpu_test::MockKernelSource();
  }
  void TearDown() override {
    ReleaseTestGpu();
    gpu_test::TestProgram().kernel_source = "";
  }
  // Uploads blob, runs one round on queue and waits for it.
  void Round(GpuContext& ctx, const std::vector<uint8_t>& blob, uint32_t target,
             uint32_t algorithm, int queue = 0, uint64_t height = 0,
             uint64_t generation = 7) {
    ASSERT_TRUE(gpu::SetGpuJob(ctx, generation, blob.data(), static_cast<uint32_t>(blob.size()), target,
                             algorithm, queue, height).is_ok());
    ASSERT_TRUE(gpu::RunGpuRound(ctx, queue).is_ok());
    ASSERT_TRUE(gpu::WaitGpuQueue(ctx, queue).is_ok());
  }
};

TEST(GpuLaunch, KernelChoiceFollowsTheAlgorithmTable) {
  for (uint32_t id = 0; id < static_cast<uint32_t>(crypto::kAlgoCount); ++id) {
    gpu::KernelChoice choice;
    ASSERT_TRUE(gpu::KernelsForAlgorithm(id, choice)) << id;
    EXPECT_EQ(choice.prepare, kExpected[id].prepare) << id;
    EXPECT_EQ(choice.main, kExpected[id].main) << id;
    EXPECT_EQ(choice.collect, kExpected[id].collect) << id;
    EXPECT_EQ(choice.tweak_input, kExpected[id].tweak) << id;
    EXPECT_EQ(gpu::kQueueKernelScratchpad[choice.main], crypto::scratchpad_size(id)) << id;
    EXPECT_EQ(gpu::kQueueKernelScratchpad[choice.prepare], crypto::scratchpad_size(id)) << id;
    EXPECT_EQ(gpu::kQueueKernelScratchpad[choice.collect], crypto::scratchpad_size(id)) << id;
    // Only the float loop splits a hash over work items.
    const bool float_loop = crypto::kAlgorithms[id].loop == crypto::loop_family::float_chains;
    EXPECT_EQ(gpu::MainItemsPerHash(id), float_loop ? 16u : 1u) << id;
  }
  gpu::KernelChoice kept{1, 14, 26, true};
  EXPECT_FALSE(gpu::KernelsForAlgorithm(static_cast<uint32_t>(crypto::kAlgoCount), kept));
  EXPECT_EQ(kept.main, 14u);
  EXPECT_EQ(gpu::MainLocalSize(10), 16u);
  EXPECT_EQ(gpu::MainLocalSize(1), 8u);
}

TEST(GpuLaunch, BufferSizesOfAQueue) {
  EXPECT_EQ(gpu::ScratchpadBufferBytes(1792, 0x200000), 1879048192ull);
  EXPECT_EQ(gpu::BranchBufferBytes(1792), 7176ull);
  EXPECT_EQ(gpu::HashStatesBufferBytes(1792), 358400ull);
}

TEST(GpuLaunch, ResultListUsesEverySlotAndCountsTheHitsBeyond) {
  gpu::GpuQueue queue;
  for (uint32_t i = 0; i < gpu::kResultSlots; ++i) queue.results[i] = 100 + i;
  struct {
    uint32_t count;
    size_t used;
    uint32_t lost;
  } cases[] = {{0, 0, 0}, {1, 1, 0}, {16, 16, 0}, {254, 254, 0}, {255, 255, 0}, {256, 255, 1}, {1000, 255, 745}};
  for (const auto& c : cases) {
    queue.results[gpu::kResultCountWord] = c.count;
    const auto used = gpu::round_results(queue);
    ASSERT_EQ(used.size(), c.used) << c.count;
    if (!used.empty()) {
      EXPECT_EQ(used.back(), 100 + c.used - 1) << c.count;
    }
    EXPECT_EQ(gpu::lost_results(queue), c.lost) << c.count;
  }
}

TEST(GpuLaunch, HashesAfterAnOverflowKeepHalfTheSlotsFree) {
  struct {
    uint64_t hashes;
    uint32_t hits;
    uint64_t lowered;
  } cases[] = {
      {512, 512, 128},   // every hash a hit: 128 hashes, 128 hits at most
      {2048, 300, 864},  // 128/300 of 2048 = 873.8, down to a multiple of 16
      {4096, 4096, 128},
      {64, 300, 16},     // never below one granule
      {256, 256, 128},
      {100, 0, 100},     // nothing found: unchanged
  };
  for (const auto& c : cases) {
    const uint64_t lowered = gpu::HashesAfterOverflow(c.hashes, c.hits);
    EXPECT_EQ(lowered, c.lowered) << c.hashes << " " << c.hits;
    EXPECT_LE(lowered, c.hashes);
  }
}

TEST(GpuLaunch, AbortFlagIsTheRunBufferWord) {
  gpu::GpuQueue queue;
  gpu::SetAbortFlag(queue, true);
  EXPECT_EQ(queue.abort_flag, 1u);
  EXPECT_TRUE(gpu::AbortFlag(queue));
  gpu::SetAbortFlag(queue, false);
  EXPECT_EQ(queue.abort_flag, 0u);
}

TEST_F(MockRound, BuffersHaveTheirSizesAndTheRunBufferUsesTheAbortFlag) {
  ASSERT_EQ(InitTestGpu(crypto::kCryptoNightHeavy, kRoundHashes, 1), 0);
  const gpu::GpuQueue& q = gpu_test::TestGpus()[0].queues[0];
  auto size_of = [](cl_mem buffer) {
    size_t size = 0;
    clGetMemObjectInfo(buffer, CL_MEM_SIZE, sizeof(size), &size, nullptr);
    return size;
  };
  EXPECT_EQ(q.threads, 64u);
  EXPECT_EQ(size_of(q.input_buffer), 88u);
  EXPECT_EQ(size_of(q.output_buffer), 1024u);
  EXPECT_EQ(size_of(q.scratchpads_buffer), 64u * 0x400000 / 2);
  EXPECT_EQ(size_of(q.hash_scratchpads_buffer), 64u * 0x400000 / 2);
  EXPECT_EQ(size_of(q.hash_states_buffer), 64u * 200);
  for (cl_mem branch : q.branch_buffers) EXPECT_EQ(size_of(branch), 64u * 4 + 8);
  EXPECT_EQ(size_of(q.run_buffer), 4u);
  void* host = nullptr;
  clGetMemObjectInfo(q.run_buffer, CL_MEM_HOST_PTR, sizeof(host), &host, nullptr);
  EXPECT_EQ(host, &q.abort_flag);
  EXPECT_EQ(gpu_test::TestGpus()[0].queue_count, 1);
  EXPECT_EQ(gpu_test::TestGpus()[0].nonce_counter, 0u);
}

TEST_F(MockRound, EveryAlgorithmReportsExactlyTheNoncesBelowTheTarget) {
  const std::vector<uint8_t> blob = RandomBlob(76, 11);
  for (uint32_t algorithm = 0; algorithm < static_cast<uint32_t>(crypto::kAlgoCount); ++algorithm) {
    SCOPED_TRACE(algorithm);
    ASSERT_EQ(InitTestGpu(static_cast<int32_t>(algorithm), kRoundHashes, 1), 0);
    GpuContext& ctx = gpu_test::TestGpus()[0];
    const uint32_t target = TargetFor(0, kRoundHashes, blob, algorithm, 3);
    Round(ctx, blob, target, algorithm);
    EXPECT_EQ(ctx.queues[0].results[gpu::kResultCountWord], 3u);
    EXPECT_EQ(Reported(ctx.queues[0]), ExpectedNonces(0, kRoundHashes, blob, algorithm, target));
    EXPECT_EQ(ctx.nonce_counter, 64u);
    EXPECT_EQ(ctx.queues[0].algorithm, algorithm);
    EXPECT_EQ(ctx.queues[0].job_generation, 7u);
    ReleaseTestGpu();
  }
}

TEST_F(MockRound, ARoundCrossingA24BitBoundaryReportsFullNonces) {
  ASSERT_EQ(InitTestGpu(crypto::kCryptoNightV7, kRoundHashes, 1), 0);
  GpuContext& ctx = gpu_test::TestGpus()[0];
  const std::vector<uint8_t> blob = RandomBlob(76, 12);
  const uint64_t first = 0xFFFFE0;
  ctx.nonce_counter = first;
  const uint32_t target = TargetFor(first, kRoundHashes, blob, 1, 8);
  Round(ctx, blob, target, 1);
  const std::set<uint32_t> expected = ExpectedNonces(first, kRoundHashes, blob, 1, target);
  EXPECT_EQ(Reported(ctx.queues[0]), expected);
  EXPECT_TRUE(std::any_of(expected.begin(), expected.end(),
                          [](uint32_t n) { return n >= 0x1000000; }));
  EXPECT_EQ(ctx.nonce_counter, first + kRoundHashes);
}

TEST_F(MockRound, TwoQueuesSearchConsecutiveRanges) {
  ASSERT_EQ(InitTestGpu(crypto::kCryptoNight, kRoundHashes, 2), 0);
  GpuContext& ctx = gpu_test::TestGpus()[0];
  ASSERT_EQ(ctx.queue_count, 2);
  const std::vector<uint8_t> blob = RandomBlob(76, 13);
  ctx.nonce_counter = 1000;
  const uint32_t target = TargetFor(1000, 2 * kRoundHashes, blob, 0, 6);
  for (int q = 0; q < 2; ++q) {
    ASSERT_TRUE(gpu::SetGpuJob(ctx, 3, blob.data(), 76, target, 0, q).is_ok());
  }
  ASSERT_TRUE(gpu::RunGpuRound(ctx, 0).is_ok());
  ASSERT_TRUE(gpu::RunGpuRound(ctx, 1).is_ok());
  EXPECT_TRUE(ctx.queues[0].running);
  ASSERT_TRUE(gpu::WaitGpuQueue(ctx, 0).is_ok());
  ASSERT_TRUE(gpu::WaitGpuQueue(ctx, 1).is_ok());
  EXPECT_FALSE(ctx.queues[0].running);
  EXPECT_EQ(Reported(ctx.queues[0]), ExpectedNonces(1000, kRoundHashes, blob, 0, target));
  EXPECT_EQ(Reported(ctx.queues[1]), ExpectedNonces(1064, kRoundHashes, blob, 0, target));
  EXPECT_EQ(ctx.nonce_counter, 1128u);
}

TEST_F(MockRound, ACountOfSixteenIsUsedWhole) {
  ASSERT_EQ(InitTestGpu(crypto::kCryptoNightLite, kRoundHashes, 1), 0);
  GpuContext& ctx = gpu_test::TestGpus()[0];
  const std::vector<uint8_t> blob = RandomBlob(76, 14);
  const uint32_t target = TargetFor(0, kRoundHashes, blob, 3, 16);
  Round(ctx, blob, target, 3);
  EXPECT_EQ(ctx.queues[0].results[gpu::kResultCountWord], 16u);
  const std::set<uint32_t> raw(ctx.queues[0].results, ctx.queues[0].results + 16);
  EXPECT_EQ(raw, ExpectedNonces(0, kRoundHashes, blob, 3, target));
  EXPECT_EQ(gpu::round_results(ctx.queues[0]).size(), 16u);
  EXPECT_EQ(gpu::lost_results(ctx.queues[0]), 0u);
}

TEST_F(MockRound, SetGpuJobRefuses85BytesAndKeepsThePreviousJob) {
  ASSERT_EQ(InitTestGpu(crypto::kCryptoNightV7, kRoundHashes, 1), 0);
  GpuContext& ctx = gpu_test::TestGpus()[0];
  const std::vector<uint8_t> blob = RandomBlob(84, 15);
  const uint32_t target = TargetFor(0, kRoundHashes, blob, 1, 4);
  ASSERT_TRUE(gpu::SetGpuJob(ctx, 5, blob.data(), 84, target, 1, 0).is_ok());
  const std::vector<uint8_t> long_blob = RandomBlob(88, 16);
  EXPECT_EQ(gpu::SetGpuJob(ctx, 6, long_blob.data(), 85, 0xFFFFFFFF, 9, 0).code(),
            base::status_code::kInvalidInput);
  EXPECT_EQ(ctx.queues[0].job_generation, 5u);
  EXPECT_EQ(ctx.queues[0].algorithm, 1u);
  ASSERT_TRUE(gpu::RunGpuRound(ctx, 0).is_ok());
  ASSERT_TRUE(gpu::WaitGpuQueue(ctx, 0).is_ok());
  EXPECT_EQ(Reported(ctx.queues[0]), ExpectedNonces(0, kRoundHashes, blob, 1, target));
}

TEST_F(MockRound, AProgramWithoutAKernelStopsTheSetUpAsNotFound) {
  std::string source = gpu_test::MockKernelSource();
  const size_t at = source.find("MOCK_HASH(hash_skein, 3)");
  ASSERT_NE(at, std::string::npos);
  source.replace(at, 24, "MOCK_HASH(hash_skein_gone, 3)");
  gpu_test::TestProgram().kernel_source = source;
  gpu_test::CapturedOutput output;
  EXPECT_EQ(InitTestGpu(crypto::kCryptoNight, kRoundHashes, 1),
            static_cast<int>(base::status_code::kNotFound));
  const std::string text = output.Take();
  EXPECT_NE(text.find("] Error CL_INVALID_KERNEL_NAME calling clCreateKernel kernel hash_skein.\n"),
            std::string::npos)
      << text;
}

TEST_F(MockRound, GroupSizeAndQueueCountOverridesAreMadeSafe) {
  ASSERT_EQ(InitTestGpu(crypto::kCryptoNight, 100, 0), 0);
  EXPECT_EQ(gpu_test::TestGpus()[0].queues[0].threads, 96u);
  EXPECT_EQ(gpu_test::TestGpus()[0].queue_count, 1);
  ReleaseTestGpu();
  ASSERT_EQ(InitTestGpu(crypto::kCryptoNightV8, 40, 7), 0);
  GpuContext& ctx = gpu_test::TestGpus()[0];
  EXPECT_EQ(ctx.queue_count, 2);
  EXPECT_EQ(ctx.queues[1].threads, 32u);
  // 32 hashes divide by the V8 main kernel's 16 and every other local size.
  const std::vector<uint8_t> blob = RandomBlob(76, 17);
  const uint32_t target = TargetFor(0, 32, blob, 10, 2);
  Round(ctx, blob, target, 10, 1);
  EXPECT_EQ(Reported(ctx.queues[1]), ExpectedNonces(0, 32, blob, 10, target));
}

TEST_F(MockRound, AResetInTheMiddleOfAJobKeepsTheNonceCounter) {
  ASSERT_EQ(InitTestGpu(crypto::kCryptoNightFest, kRoundHashes, 1), 0);
  GpuContext& ctx = gpu_test::TestGpus()[0];
  const std::vector<uint8_t> blob = RandomBlob(76, 18);
  ctx.nonce_counter = 5000;
  const uint32_t target = TargetFor(5064, kRoundHashes, blob, 9, 5);
  ASSERT_TRUE(gpu::SetGpuJob(ctx, 2, blob.data(), 76, target, 9, 0).is_ok());
  ASSERT_TRUE(gpu::RunGpuRound(ctx, 0).is_ok());  // still in flight when the reset starts
  const cl_context old_context = ctx.context;
  ASSERT_TRUE(gpu::ReInitOpenCLGpu(ctx).is_ok());
  EXPECT_EQ(ctx.nonce_counter, 5064u);
  EXPECT_NE(ctx.context, nullptr);
  EXPECT_FALSE(ctx.queues[0].running);
  (void)old_context;
  // The job is uploaded again, as the mining thread does after a reset.
  Round(ctx, blob, target, 9);
  EXPECT_EQ(Reported(ctx.queues[0]), ExpectedNonces(5064, kRoundHashes, blob, 9, target));
  EXPECT_EQ(ctx.nonce_counter, 5128u);
}

TEST_F(MockRound, AResetWithANewScratchpadSizeKeepsTheLevel) {
  ASSERT_EQ(InitTestGpu(crypto::kCryptoNight, 0, 0), 0);
  GpuContext& ctx = gpu_test::TestGpus()[0];
  const int32_t level = ctx.intensity;
  ASSERT_GE(level, 0);
  ctx.scratchpad_bytes = crypto::kScratchpadHeavy;
  ASSERT_TRUE(gpu::ReInitOpenCLGpu(ctx).is_ok());
  EXPECT_EQ(ctx.intensity, level);
  size_t size = 0;
  clGetMemObjectInfo(ctx.queues[0].scratchpads_buffer, CL_MEM_SIZE, sizeof(size), &size, nullptr);
  EXPECT_EQ(size, ctx.queues[0].threads * crypto::kScratchpadHeavy / 2);
}

// A reset that cannot redo a step reports that step's failure (it used to
// report success and leave the GPU to fail every round), keeps the outcome
// for the mining thread, and leaves no half-built queue behind; the next
// reset that succeeds makes the GPU usable again.
TEST_F(MockRound, AResetThatFailsReportsTheFailingStep) {
  struct Case {
    gpu::cl_step step;
    const char* error;
  };
  for (const Case& c : {Case{gpu::cl_step::create_context, "Error CL_OUT_OF_HOST_MEMORY calling clCreateContext"},
                        Case{gpu::cl_step::create_command_queue,
                             "Error CL_OUT_OF_HOST_MEMORY calling clCreateCommandQueue."}}) {
    SCOPED_TRACE(c.error);
    auto fail = std::make_shared<std::atomic<bool>>(false);
    ASSERT_EQ(InitTestGpu(crypto::kCryptoNightFest, kRoundHashes, 1,
                          [fail, step = c.step](gpu::cl_step at, uint32_t) -> int32_t {
                            return fail->load() && at == step ? CL_OUT_OF_HOST_MEMORY : CL_SUCCESS;
                          }),
              0);
    GpuContext& ctx = gpu_test::TestGpus()[0];
    fail->store(true);
    gpu_test::CapturedOutput output;
    const base::status reset = gpu::ReInitOpenCLGpu(ctx);
    EXPECT_EQ(reset.code(), base::status_code::kDeviceError);
    EXPECT_EQ(reset.message(), c.error);
    EXPECT_EQ(ctx.reset_status, reset);
    EXPECT_EQ(ctx.queues[0].queue, nullptr);
    EXPECT_EQ(ctx.program, nullptr);
    EXPECT_NE(output.Take().find(std::string(c.error) + "\n"), std::string::npos);

    fail->store(false);
    ASSERT_TRUE(gpu::ReInitOpenCLGpu(ctx).is_ok());
    EXPECT_TRUE(ctx.reset_status.is_ok());
    const std::vector<uint8_t> blob = RandomBlob(76, 19);
    const uint32_t target = TargetFor(0, kRoundHashes, blob, 9, 3);
    Round(ctx, blob, target, 9);
    EXPECT_EQ(Reported(ctx.queues[0]), ExpectedNonces(0, kRoundHashes, blob, 9, target));
    ReleaseTestGpu();
  }
}

// Thirty blocks in a row: each height's round runs that height's code (the
// mock kernel records the height it was pointed at), the group after each
// job's is built without anyone waiting for it, each group is built once,
// and the programs held never exceed the bound.
TEST_F(MockRound, TheRandomLoopFollowsEachHeightWithinTheLiveProgramBound) {
  ASSERT_EQ(InitTestGpu(crypto::kCryptoNightR, 16, 1), 0);
  GpuContext& ctx = gpu_test::TestGpus()[0];
  const std::vector<uint8_t> blob = RandomBlob(76, 20);
  const uint64_t first = 1806260;  // the first height of its group
  gpu::cl_program_handle oldest;   // a reference of the test's own
  for (uint64_t height = first; height < first + 30; ++height) {
    SCOPED_TRACE(height);
    ctx.nonce_counter = 0;
    const uint32_t target = TargetFor(0, 16, blob, crypto::kCryptoNightR, 3, height);
    Round(ctx, blob, target, crypto::kCryptoNightR, 0, height);
    EXPECT_EQ(Reported(ctx.queues[0]),
              ExpectedNonces(0, 16, blob, crypto::kCryptoNightR, target, height));
    ASSERT_NE(ctx.heights, nullptr);
    EXPECT_LE(ctx.heights->live(), gpu::kMaxLiveHeightPrograms);
    EXPECT_TRUE(ctx.heights->WaitBuilt(gpu::RandomGroupOf(height) + 1, std::chrono::seconds(60)));
    if (height == first) {
      ASSERT_TRUE(ctx.heights->Acquire(gpu::RandomGroupOf(first), oldest));
    }
  }
  // Groups 451565 to 451572 mined, 451573 built ahead.
  EXPECT_EQ(ctx.heights->builds(), 9u);
  // The first group's program was released by the store and by the queue's
  // kernel: only the test's reference is left.
  cl_uint references = 0;
  ASSERT_EQ(clGetProgramInfo(oldest, CL_PROGRAM_REFERENCE_COUNT, sizeof(references), &references,
                             nullptr),
            CL_SUCCESS);
  EXPECT_EQ(references, 1u);
  EXPECT_FALSE(ctx.heights->WaitBuilt(gpu::RandomGroupOf(first + 40), std::chrono::milliseconds(1)));
}

// The self-test's job (the GPU's own) builds only its height's group; the
// pool's job at the same height also builds the next one ahead.
TEST_F(MockRound, OnlyAPoolJobBuildsTheNextGroupAhead) {
  ASSERT_EQ(InitTestGpu(crypto::kCryptoNightR, 16, 1), 0);
  GpuContext& ctx = gpu_test::TestGpus()[0];
  const std::vector<uint8_t> blob = RandomBlob(76, 22);
  const uint32_t target = TargetFor(0, 16, blob, crypto::kCryptoNightR, 3, 996);
  Round(ctx, blob, target, crypto::kCryptoNightR, 0, 996, gpu::kOwnJobGeneration);
  EXPECT_EQ(Reported(ctx.queues[0]), ExpectedNonces(0, 16, blob, crypto::kCryptoNightR, target, 996));
  ASSERT_NE(ctx.heights, nullptr);
  EXPECT_EQ(ctx.heights->live(), 1u);
  ctx.nonce_counter = 0;
  Round(ctx, blob, target, crypto::kCryptoNightR, 0, 996, 8);
  EXPECT_EQ(ctx.heights->live(), 2u);
  EXPECT_TRUE(ctx.heights->WaitBuilt(gpu::RandomGroupOf(996) + 1, std::chrono::seconds(60)));
}

// A height whose program cannot be built stops the queue: the job is
// refused with the build's error and no round runs the previous height's
// kernel on it; a later height that builds mines again.
TEST_F(MockRound, AHeightWithoutAKernelRunsNoRound) {
  gpu_test::TestProgram().kernel_source =
      "#if defined(CN_RANDOM_FIRST_HEIGHT) && CN_RANDOM_FIRST_HEIGHT >= 1000 && "
      "CN_RANDOM_FIRST_HEIGHT < 2000\n#error no code for this group\n#endif\n" +
      gpu_test::MockKernelSource();
  ASSERT_EQ(InitTestGpu(crypto::kCryptoNightR, 16, 1), 0);
  GpuContext& ctx = gpu_test::TestGpus()[0];
  const std::vector<uint8_t> blob = RandomBlob(76, 21);
  uint32_t target = TargetFor(0, 16, blob, crypto::kCryptoNightR, 3, 996);
  Round(ctx, blob, target, crypto::kCryptoNightR, 0, 996);
  EXPECT_EQ(Reported(ctx.queues[0]), ExpectedNonces(0, 16, blob, crypto::kCryptoNightR, target, 996));

  gpu_test::CapturedOutput output;
  const base::status refused =
      gpu::SetGpuJob(ctx, 8, blob.data(), 76, target, crypto::kCryptoNightR, 0, 1000);
  EXPECT_EQ(refused.code(), base::status_code::kDeviceError);
  EXPECT_EQ(gpu::RunGpuRound(ctx, 0).code(), base::status_code::kUnsupported);
  EXPECT_FALSE(ctx.queues[0].running);
  const std::string text = output.Take();
  EXPECT_NE(text.find("no cn/r kernel for height 1000"), std::string::npos) << text;

  ctx.nonce_counter = 0;
  target = TargetFor(0, 16, blob, crypto::kCryptoNightR, 3, 2001);
  Round(ctx, blob, target, crypto::kCryptoNightR, 0, 2001);
  EXPECT_EQ(Reported(ctx.queues[0]),
            ExpectedNonces(0, 16, blob, crypto::kCryptoNightR, target, 2001));
}

}  // namespace
