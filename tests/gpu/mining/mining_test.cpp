// The mining threads, the self-test and the watchdog on the first OpenCL
// device (PoCL in CI): jobs go in through gpu_miner, results come out as
// executor events and are checked with the CPU hash.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <set>

#include "core/benchmark.h"
#include "core/event_queue.h"
#include "crypto/algorithm.h"
#include "crypto/cryptonight.h"
#include "gpu/discovery.h"
#include "gpu/mine_thread.h"
#include "gpu/program.h"
#include "gpu/self_test.h"
#include "gpu/watchdog.h"
#include "gpu_test_util.h"
#include "support/cpu_hash.h"
#include "support/wait.h"

namespace gpu {
namespace {

constexpr auto kWait = std::chrono::seconds(240);

core::mining_job make_job(int32_t algorithm, uint32_t target, bool nicehash, uint32_t nonce_base = 0) {
  core::mining_job job;
  job.blob_length = 76;
  for (uint32_t i = 0; i < job.blob_length; ++i) job.blob[i] = static_cast<uint8_t>(i * 31 + algorithm);
  job.blob[0] = 7;
  job.blob[42] = 0x5C;
  std::strcpy(job.job_id, "test-job");
  job.target = target;
  job.nicehash = nicehash;
  job.nonce_base = nonce_base;
  job.pool_id = core::kPoolUser;
  job.algorithm = algorithm;
  return job;
}

uint32_t word7(int32_t algorithm, const core::mining_job& job, uint32_t nonce) {
  static const auto hasher = support::cpu_hash();
  uint8_t blob[core::kBlobSize];
  std::memcpy(blob, job.blob, sizeof(blob));
  std::memcpy(blob + 39, &nonce, 4);
  uint8_t hash[32];
  hasher->hash(algorithm, blob, job.blob_length, hash);
  uint32_t word;
  std::memcpy(&word, hash + 28, 4);
  return word;
}

// Sets up `count` GPU records in `gpus` on the first device (the same
// device may stand in for several GPUs) for the scratchpad of `algorithm`,
// with the table's round size or `group_size` hashes in `num_queues` queues.
void set_up_gpus(std::vector<GpuContext>& gpus, size_t count, int32_t algorithm,
                 const cl_fault_injector& faults = {}, int32_t group_size = 0, int32_t num_queues = 0) {
  gpu_test::TestProgram().cache_root = ORBECK_TEST_CACHE_DIR;
  SelectedPlatform selected;
  const base::status found = SelectPlatform(-1, true, selected);
  ASSERT_TRUE(found) << found.message();
  const cl_platform_id platform = selected.id;
  gpus.clear();
  gpus.resize(count);  // move-only records, built in place
  for (GpuContext& ctx : gpus) {
    ctx.platform = platform;
    ctx.setup_algorithm = algorithm;
  }
  device_options device = gpu_test::TestOptions(group_size, num_queues).device;
  device.inject_fault = faults;
  const base::status status =
      InitOpenCL(device, gpus.data(), count, crypto::scratchpad_size(algorithm), false);
  ASSERT_TRUE(status.is_ok()) << status.to_string();
}

// Found nonces of the current generation until `count` arrived from each of
// the first `threads` mining threads (a thread's round may deliver many at
// once). Hash reports seen meanwhile are counted in hash_reports.
std::vector<core::gpu_result> collect_results(core::event_queue& events, gpu_miner& miner, size_t count,
                                              size_t* hash_reports = nullptr, size_t threads = 1) {
  std::vector<core::gpu_result> results;
  std::vector<size_t> per_thread(threads, 0);
  const auto enough = [&] {
    if (threads == 1) return results.size() >= count;
    for (size_t n : per_thread)
      if (n < count) return false;
    return true;
  };
  const auto deadline = std::chrono::steady_clock::now() + kWait;
  while (!enough() && std::chrono::steady_clock::now() < deadline) {
    auto event = events.take_for(std::chrono::milliseconds(200));
    if (!event) continue;
    if (event->kind == core::kHashCount && hash_reports != nullptr) ++*hash_reports;
    if (event->kind != core::kFoundNonce) continue;
    const auto& result = std::get<core::gpu_result>(event->payload);
    if (result.sequence != miner.generation()) continue;
    results.push_back(result);
    if (result.thread_index < threads) ++per_thread[result.thread_index];
  }
  return results;
}

// Waits for the next hash report (each round's comes after its nonces).
bool next_hash_report(core::event_queue& events) {
  const auto deadline = std::chrono::steady_clock::now() + kWait;
  while (std::chrono::steady_clock::now() < deadline) {
    auto event = events.take_for(std::chrono::milliseconds(200));
    if (event && event->kind == core::kHashCount) return true;
  }
  return false;
}

class MiningTest : public ::testing::Test {
 protected:
  void TearDown() override { miner_.reset(); }
  // A miner with `count` GPU records set up (the default options).
  void init_gpus(size_t count, int32_t algorithm, const cl_fault_injector& faults = {}) {
    miner_.reset();
    options_ = gpu_test::TestOptions();
    options_.gpu_list.assign(count, 0);
    miner_ = std::make_unique<gpu_miner>(options_);
    set_up_gpus(miner_->devices(), count, algorithm, faults);
  }
  void start() {
    core::mining_job idle;
    idle.idle = true;
    idle.nicehash = true;
    miner_->start(idle, events_, rates_);
  }

  // A new miner on the same GPU set-up whose self-test of `algorithm`
  // expects one nonce too few; before start().
  void expect_wrong_answer_for(int32_t algorithm) {
    self_test_answer corrupted = SelfTestAnswer(algorithm);
    corrupted.nonces.pop_back();
    options_.self_test_answers[algorithm] = corrupted;
    auto miner = std::make_unique<gpu_miner>(options_);
    miner->devices() = std::move(miner_->devices());
    miner_->devices().clear();
    miner_ = std::move(miner);
  }

  core::event_queue events_;
  core::no_hash_rates rates_;
  backend_options options_;
  std::unique_ptr<gpu_miner> miner_;
};

TEST_F(MiningTest, ReportsNoncesThatTheCpuConfirmsWithTheThreadsTopByte) {
  init_gpus(1, 0);
  start();
  const core::mining_job job = make_job(0, 0x40000000, false);
  miner_->publish(job);
  size_t reports = 0;
  const auto results = collect_results(events_, *miner_, 4, &reports);
  ASSERT_GE(results.size(), 4u);
  EXPECT_TRUE(reports > 0 || next_hash_report(events_));
  const uint8_t top = static_cast<uint8_t>(results[0].nonce >> 24);
  for (const auto& result : results) {
    EXPECT_EQ(result.thread_index, 0);
    EXPECT_EQ(static_cast<uint8_t>(result.nonce >> 24), top) << std::hex << result.nonce;
    EXPECT_LT(word7(0, job, result.nonce), job.target) << std::hex << result.nonce;
  }
}

// The next lost_nonces event (skipping found nonces and hash counts).
std::optional<core::lost_nonces> next_loss(core::event_queue& events) {
  const auto deadline = std::chrono::steady_clock::now() + kWait;
  while (std::chrono::steady_clock::now() < deadline) {
    auto event = events.take_for(std::chrono::milliseconds(200));
    if (event && event->kind == core::kLostNonces) return std::get<core::lost_nonces>(event->payload);
  }
  return std::nullopt;
}

TEST_F(MiningTest, AnOverflowingRoundReportsItsLossAndTheJobRunsSmallerRounds) {
  // One queue of 256 hashes and a target every hash meets: 256 hits for the
  // list's 255 slots. UPX2, the shortest hash of the table, keeps the
  // rounds short.
  miner_.reset();
  options_ = gpu_test::TestOptions(256, 1);
  miner_ = std::make_unique<gpu_miner>(options_);
  set_up_gpus(miner_->devices(), 1, crypto::kCryptoNightUpx2, {}, 256, 1);
  start();
  GpuQueue& queue = miner_->devices()[0].queues[0];
  ASSERT_EQ(queue.threads, 256u);
  miner_->publish(make_job(crypto::kCryptoNightUpx2, 0xFFFFFFFF, true));
  const auto first = next_loss(events_);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->count, 1u);
  EXPECT_EQ(first->found, 256u);
  EXPECT_EQ(first->hashes, 256u);
  EXPECT_EQ(first->lowered_to, 128u);
  EXPECT_EQ(first->sequence, miner_->generation());
  // The rest of the job: 128 hashes a round, every nonce reported.
  const auto results = collect_results(events_, *miner_, 128);
  ASSERT_GE(results.size(), 128u);
  EXPECT_EQ(queue.threads, 128u);
  // The next job starts at full size again, so its first round overflows.
  miner_->publish(make_job(crypto::kCryptoNightUpx2, 0xFFFFFFFF, true, 0x100000));
  const auto second = next_loss(events_);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->hashes, 256u);
  EXPECT_EQ(second->sequence, miner_->generation());
}

TEST_F(MiningTest, NicehashSlicesTheLowBitsAndKeepsThePoolsTopByte) {
  init_gpus(2, 0);
  start();
  const core::mining_job job = make_job(0, 0x40000000, true, 0x100000);
  miner_->publish(job);
  const auto results = collect_results(events_, *miner_, 4, nullptr, 2);
  std::set<int> threads;
  for (const auto& result : results) {
    threads.insert(result.thread_index);
    EXPECT_EQ(result.nonce >> 24, 0x5Cu);  // the pool owns the top byte
    const uint32_t low = result.nonce & 0xFFFFFF;
    const uint32_t slice = 16777216u / 2 * result.thread_index + 0x100000;
    EXPECT_GE(low, slice);
    EXPECT_LT(low, slice + 0x10000);
    EXPECT_LT(word7(0, job, result.nonce), job.target);
  }
  EXPECT_EQ(threads, (std::set<int>{0, 1}));
}

TEST_F(MiningTest, WithoutNicehashEachThreadHasItsOwnTopByte) {
  init_gpus(2, 0);
  start();
  const core::mining_job job = make_job(0, 0x40000000, false);
  miner_->publish(job);
  const auto results = collect_results(events_, *miner_, 4, nullptr, 2);
  std::set<uint32_t> tops[2];
  for (const auto& result : results) {
    tops[result.thread_index].insert(result.nonce >> 24);
    EXPECT_LT(word7(0, job, result.nonce), job.target);
  }
  ASSERT_EQ(tops[0].size(), 1u);
  ASSERT_EQ(tops[1].size(), 1u);
  // thread_index XOR the random byte: the two differ in the lowest bit only.
  EXPECT_EQ(*tops[0].begin() ^ *tops[1].begin(), 1u);
}

TEST_F(MiningTest, SwitchesKernelsOnlyBetweenScratchpadSizes) {
  init_gpus(1, 0);
  gpu_test::CapturedOutput output;
  start();
  miner_->publish(make_job(0, 0x40000000, true));
  ASSERT_FALSE(collect_results(events_, *miner_, 1).empty());
  miner_->publish(make_job(1, 0x40000000, true));  // same 2 MiB class
  EXPECT_EQ(miner_->generation(), 2u);
  EXPECT_EQ(output.Take().find("Switching Algorithm"), std::string::npos);

  const core::mining_job light = make_job(4, 0x40000000, true);
  miner_->publish(light);  // 1 MiB: every GPU is set up again
  EXPECT_NE(output.Take().find("Switching Algorithm\n"), std::string::npos);
  // The generation goes on counting, so results of the old threads still on
  // their way can never pass as results of the new job.
  EXPECT_EQ(miner_->generation(), 3u);
  EXPECT_EQ(miner_->devices()[0].scratchpad_bytes, crypto::kScratchpadLight);
  EXPECT_EQ(miner_->scratchpad_size(), crypto::kScratchpadLight);
  const auto results = collect_results(events_, *miner_, 2);
  ASSERT_GE(results.size(), 2u);
  for (const auto& result : results) EXPECT_LT(word7(4, light, result.nonce), light.target);
}

// Regression: a thread started by a scratchpad switch began at generation 0,
// so when it ran before the publisher had put the new job in place it took
// the old job, ran the old algorithm on the new buffers, failed its
// self-test and refused that algorithm (seen in --benchmark --algo -1 on a
// busy machine; the window is short, so a quiet run may not hit it).
// Switching between the two small pads a few times, no self-test fails and
// every result is the new algorithm's.
TEST_F(MiningTest, ThreadsStartedByASwitchMineOnlyTheNewJob) {
  init_gpus(1, crypto::kCryptoNightPico);
  gpu_test::CapturedOutput output;
  start();
  for (int32_t algorithm : {crypto::kCryptoNightPico, crypto::kCryptoNightUpx2,
                            crypto::kCryptoNightPico, crypto::kCryptoNightUpx2}) {
    SCOPED_TRACE(algorithm);
    const core::mining_job job = make_job(algorithm, 0x01000000, true);  // 1 hash in 256
    miner_->publish(job);
    const auto results = collect_results(events_, *miner_, 1);
    ASSERT_FALSE(results.empty());
    for (const auto& result : results) EXPECT_LT(word7(algorithm, job, result.nonce), job.target);
    EXPECT_FALSE(miner_->self_test_failed(0));
  }
  EXPECT_EQ(output.Take().find("self-test failed"), std::string::npos);
}

// Regression: a GPU whose reset failed was reported as reset and kept being
// given rounds that could not run. Now it is parked with its error line,
// the other GPU mines on, and the next switch that sets it up again brings
// it back.
TEST_F(MiningTest, AGpuWhoseResetFailsIsParkedAndTheOtherMinesOn) {
  auto fail_next_queue = std::make_shared<std::atomic<bool>>(false);
  init_gpus(2, crypto::kCryptoNightPico, [fail_next_queue](cl_step step, uint32_t) -> int32_t {
    return step == cl_step::create_command_queue && fail_next_queue->exchange(false)
               ? CL_OUT_OF_RESOURCES
               : CL_SUCCESS;
  });
  std::atomic<bool> all_failed{false};
  miner_->set_all_failed_handler([&] { all_failed.store(true); });
  gpu_test::CapturedOutput output;
  start();
  fail_next_queue->store(true);  // the switch resets GPU 0 first
  const core::mining_job upx2 = make_job(crypto::kCryptoNightUpx2, 0x01000000, true);
  miner_->publish(upx2);
  const auto results = collect_results(events_, *miner_, 2);
  ASSERT_GE(results.size(), 2u);
  for (const auto& result : results) {
    EXPECT_EQ(result.thread_index, 1);
    EXPECT_LT(word7(crypto::kCryptoNightUpx2, upx2, result.nonce), upx2.target);
  }
  const char* const error = "Error CL_OUT_OF_RESOURCES calling clCreateCommandQueue.";
  EXPECT_EQ(miner_->device_error(0), error);
  EXPECT_EQ(miner_->device_error(1), "");
  EXPECT_FALSE(all_failed.load());
  const std::string text = output.Take();
  EXPECT_NE(text.find("Error UNKNOWN_ERROR calling ReInitOpenCLGpu.\n"), std::string::npos) << text;
  EXPECT_NE(text.find("GPU0 is parked: " + std::string(error) + "\n"), std::string::npos) << text;

  const core::mining_job pico = make_job(crypto::kCryptoNightPico, 0x01000000, true);
  miner_->publish(pico);
  std::set<int> threads;
  for (const auto& result : collect_results(events_, *miner_, 1, nullptr, 2)) threads.insert(result.thread_index);
  EXPECT_EQ(threads, (std::set<int>{0, 1}));
  EXPECT_EQ(miner_->device_error(0), "");
}

TEST_F(MiningTest, AnIdleJobParksTheThreads) {
  init_gpus(1, 0);
  start();
  miner_->publish(make_job(0, 0x40000000, true));
  ASSERT_FALSE(collect_results(events_, *miner_, 1).empty());
  while (events_.take_for(std::chrono::milliseconds(0))) {
  }
  core::mining_job idle;
  idle.idle = true;
  miner_->publish(idle);
  // The round in flight may still end and report; after that the thread
  // stays quiet.
  size_t late_reports = 0;
  bool quiet = false;
  for (int waits = 0; waits < 20 && !quiet; ++waits) {
    auto event = events_.take_for(std::chrono::seconds(3));
    if (!event) quiet = true;
    else if (event->kind == core::kHashCount) ++late_reports;
  }
  EXPECT_TRUE(quiet);
  EXPECT_LE(late_reports, 1u);
}

// The self-test through the mining thread's own path, for the rows of 2018
// and the first row of each later kernel family: the rest of a family
// differs only in its kernels, whose round over the self-test's blob, nonces
// and height the kernel tests compare with the CPU and with the constant
// answer of every row (CryptoNightKernelRound.ReportsExactlyTheCpuNonces).
TEST_F(MiningTest, SelfTestPassesForEveryAlgorithm) {
  for (int family = 0; family < kKernelFamilyCount; ++family) {  // one set-up per family
    int32_t first = 0;
    while (first < crypto::kAlgoCount && FamilyOf(crypto::kAlgorithms[first]) != family) ++first;
    ASSERT_LT(first, crypto::kAlgoCount) << "no row uses family " << family;
    init_gpus(1, first);
    for (int32_t id = 0; id < crypto::kAlgoCount; ++id) {
      if (FamilyOf(crypto::kAlgorithms[id]) != family) continue;
      if (id != first && id >= crypto::kCryptoNightHalf) continue;
      GpuContext& gpu = miner_->devices()[0];
      gpu.nonce_counter = 777;
      EXPECT_TRUE(RunSelfTest(gpu, id, SelfTestAnswer(id))) << crypto::algorithm_name(id);
      EXPECT_EQ(gpu.nonce_counter, 777u);
      EXPECT_TRUE(gpu.queues[0].input_dirty.load());
    }
  }
}

// Regression: with 48 hashes per round the second round ran past the 64
// test nonces and its extra results failed a correct device.
TEST_F(MiningTest, SelfTestPassesWithARoundSizeThatDoesNotDivideTheRange) {
  std::vector<GpuContext> gpus;
  set_up_gpus(gpus, 1, 3, {}, 48, 1);
  ASSERT_EQ(gpus[0].queues[0].threads, 48u);
  EXPECT_TRUE(RunSelfTest(gpus[0], 3, SelfTestAnswer(3)));
  EXPECT_EQ(gpus[0].queues[0].threads, 48u);
  gpu_test::ReleaseTestGpu(gpus);
}

TEST_F(MiningTest, AGpuThatFailsTheSelfTestDoesNotMine) {
  init_gpus(1, 0);
  expect_wrong_answer_for(0);
  std::atomic<bool> all_failed{false};
  miner_->set_all_failed_handler([&] { all_failed.store(true); });
  gpu_test::CapturedOutput output;
  start();
  miner_->publish(make_job(0, 0xFFFFFFFF, true));
  ASSERT_TRUE(support::eventually([&] { return all_failed.load(); }, kWait));
  EXPECT_NE(output.Take().find("GPU0 self-test failed for CryptoNight: the device computes wrong hashes\n"),
            std::string::npos);
  EXPECT_TRUE(miner_->self_test_failed(0));
  // The thread mines nothing: no results, no hash counts.
  EXPECT_FALSE(events_.take_for(std::chrono::seconds(2)).has_value());
}

TEST_F(MiningTest, BenchmarkShowsAFailedSelfTestInTheTableAndTheJson) {
  init_gpus(1, 0);
  expect_wrong_answer_for(0);
  gpu_test::CapturedOutput output;
  const std::vector<core::benchmark_result> results = core::RunBenchmark(*miner_, 1.0, 0);
  const std::string text = output.Take();
  ASSERT_EQ(results.size(), 1u);
  ASSERT_EQ(results[0].gpus.size(), 1u);
  EXPECT_TRUE(results[0].gpus[0].self_test_failed);
  EXPECT_EQ(results[0].gpus[0].hash_rate, 0.0);
  EXPECT_NE(text.find("GPU0 self-test failed for CryptoNight: the device computes wrong hashes\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("FAILED"), std::string::npos) << text;
  EXPECT_NE(text.find("\"hash_rate\":0.0,\"self_test\":\"failed\""), std::string::npos) << text;
}

TEST(Watchdog, ResetsOnTheNineteenthCallOfASustainedDrop) {
  std::atomic<bool> request{false};
  int32_t countdown = 12, low = 0;
  int calls = 0;
  for (; calls < 100; ++calls)
    if (HashRateDropped(countdown, low, 94.0, 100.0, request)) break;
  EXPECT_EQ(calls + 1, 19);
  EXPECT_EQ(countdown, 12);
  EXPECT_EQ(low, 0);
  for (calls = 0; calls < 100; ++calls)
    if (HashRateDropped(countdown, low, 94.0, 100.0, request)) break;
  EXPECT_EQ(calls + 1, 19);
}

TEST(Watchdog, ExactlyNinetyFivePercentCountsAsLow) {
  std::atomic<bool> request{false};
  int32_t countdown = 0, low = 0;
  EXPECT_FALSE(HashRateDropped(countdown, low, 95.0, 100.0, request));
  EXPECT_EQ(low, 1);
  EXPECT_FALSE(HashRateDropped(countdown, low, 95.1, 100.0, request));
  EXPECT_EQ(low, 0);
}

TEST(Watchdog, AResetRequestActsOnExactlyOneGpu) {
  std::atomic<bool> request{true};
  int32_t countdown[3] = {12, 12, 12}, low[3] = {0, 0, 0};
  int resets = 0;
  for (int gpu = 0; gpu < 3; ++gpu)
    if (HashRateDropped(countdown[gpu], low[gpu], 100.0, 100.0, request)) ++resets;
  EXPECT_EQ(resets, 1);
  EXPECT_FALSE(request.load());
}

}  // namespace
}  // namespace gpu
