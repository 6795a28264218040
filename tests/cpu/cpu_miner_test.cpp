// The CPU mining threads against the reference hash: every result carries
// the hash of its nonce, nonces stay in the thread's slot (both nonce
// modes), a new job is taken within one call of the hash, and two backends
// in one group search disjoint nonces under one generation.
#include "cpu/cpu_miner.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "core/backend_group.h"
#include "crypto/algorithm.h"
#include "crypto/cryptonight.h"
#include "support/cpu_hash.h"

namespace cpu {
namespace {

constexpr auto kDeadline = std::chrono::seconds(120);

cpu_options two_threads(uint32_t first, uint32_t total, int ways) {
  cpu_options options;
  options.threads = 2;
  options.nonces = {first, total, 0x5A};
  options.huge_pages = false;
  options.pin_threads = false;
  options.ways = ways;
  return options;
}

// A 128 KiB job (the fastest row) whose every hash is a share.
core::mining_job every_hash_a_share(bool nicehash, uint8_t seed) {
  core::mining_job job;
  job.blob_length = 76;
  for (uint32_t i = 0; i < job.blob_length; ++i) job.blob[i] = static_cast<uint8_t>(i * 13 + seed);
  job.blob[42] = 0x7F;
  job.algorithm = crypto::kCryptoNightUpx2;
  job.share_target = ~uint64_t{0};
  job.nicehash = nicehash;
  job.pool_id = core::kPoolUser;
  return job;
}

// Takes results until each thread index of `indices` posted `each` of the
// current generation; returns every result taken (the old ones too).
std::vector<core::gpu_result> collect(core::event_queue& events, const core::mining_backend& miner,
                                      const std::set<uint8_t>& indices, size_t each) {
  std::vector<core::gpu_result> taken;
  std::map<uint8_t, size_t> counts;
  const auto end = std::chrono::steady_clock::now() + kDeadline;
  while (std::chrono::steady_clock::now() < end) {
    bool done = true;
    for (uint8_t index : indices) done = done && counts[index] >= each;
    if (done) break;
    auto event = events.take_for(std::chrono::milliseconds(100));
    if (!event || event->kind != core::kFoundNonce) continue;
    const auto& result = std::get<core::gpu_result>(event->payload);
    taken.push_back(result);
    if (result.sequence == miner.generation()) ++counts[result.thread_index];
  }
  return taken;
}

void expect_reference_hash(const core::mining_job& job, const core::gpu_result& result) {
  uint8_t blob[core::kBlobSize];
  std::memcpy(blob, job.blob, sizeof(blob));
  for (int i = 0; i < 4; ++i) blob[39 + i] = static_cast<uint8_t>(result.nonce >> (8 * i));
  uint8_t expected[32];
  const auto reference = support::cpu_hash();
  reference->hash(job.algorithm, blob, job.blob_length, expected, job.height);
  EXPECT_TRUE(result.hashed);
  EXPECT_EQ(std::memcmp(expected, result.hash, 32), 0) << "nonce " << result.nonce;
}

class CpuMining : public ::testing::TestWithParam<int> {};

TEST_P(CpuMining, ResultsCarryTheirHashAndStayInTheirSlots) {
  const int ways = GetParam();
  // Slots 1 and 2 of 3: slot 0 belongs to another backend.
  cpu_miner miner(two_threads(1, 3, ways));
  ASSERT_TRUE(miner.init_devices());
  ASSERT_EQ(miner.planned_threads(), 2u);
  core::event_queue events;
  core::no_hash_rates rates;
  miner.start(core::idle_job(core::kPoolNone, crypto::kCryptoNightUpx2), events, rates);
  EXPECT_EQ(miner.thread_count(), 2u);
  EXPECT_EQ(miner.device_name(1), "CPU1");

  for (bool nicehash : {false, true}) {
    const core::mining_job job = every_hash_a_share(nicehash, nicehash ? 1 : 2);
    miner.publish(job);
    const auto results = collect(events, miner, {1, 2}, 3);
    std::set<uint32_t> nonces;
    size_t current = 0;
    for (const core::gpu_result& result : results) {
      if (result.sequence != miner.generation()) continue;
      ++current;
      const uint32_t slot = result.thread_index;
      ASSERT_TRUE(slot == 1 || slot == 2);
      EXPECT_TRUE(nonces.insert(result.nonce).second) << "nonce found twice: " << result.nonce;
      if (nicehash) {
        // The pool's top byte; the low 24 bits from the slot's third on.
        EXPECT_EQ(result.nonce >> 24, 0x7Fu);
        const uint32_t low = result.nonce & 0xFFFFFF;
        EXPECT_GE(low, (1u << 24) / 3 * slot);
        EXPECT_LT(low, (1u << 24) / 3 * (slot + 1));
      } else {
        EXPECT_EQ(result.nonce >> 24, slot ^ 0x5Au);
      }
      expect_reference_hash(job, result);
    }
    EXPECT_GE(current, 6u);
  }
  miner.stop();
}

INSTANTIATE_TEST_SUITE_P(OneAndThreeWays, CpuMining, ::testing::Values(1, 3));

// A row generated per height is hashed at its job's height (the results of
// a cn/r job are checked by nobody else: a wrong height would only show as
// rejected shares).
TEST(CpuMining, CnRIsHashedAtItsJobsHeight) {
  cpu_miner miner(two_threads(0, 2, 2));
  ASSERT_TRUE(miner.init_devices());
  core::event_queue events;
  core::no_hash_rates rates;
  miner.start(core::idle_job(core::kPoolNone, crypto::kCryptoNightR), events, rates);
  core::mining_job job = every_hash_a_share(false, 3);
  job.algorithm = crypto::kCryptoNightR;
  job.height = 1806260;
  miner.publish(job);
  size_t current = 0;
  for (const core::gpu_result& result : collect(events, miner, {0, 1}, 1)) {
    if (result.sequence != miner.generation()) continue;
    ++current;
    expect_reference_hash(job, result);
  }
  EXPECT_GE(current, 2u);
  miner.stop();
}

TEST(CpuMining, ANewJobIsTakenWithinOneCallOfTheHash) {
  constexpr int kWays = 2;
  cpu_miner miner(two_threads(0, 0, kWays));
  ASSERT_TRUE(miner.init_devices());
  core::event_queue events;
  core::no_hash_rates rates;
  miner.start(core::idle_job(core::kPoolNone, crypto::kCryptoNightUpx2), events, rates);
  miner.publish(every_hash_a_share(false, 3));
  collect(events, miner, {0, 1}, 2);
  for (int round = 0; round < 2; ++round) {
    const uint64_t old_generation = miner.generation();
    while (events.take_for(std::chrono::milliseconds(0))) {
    }
    miner.publish(every_hash_a_share(false, static_cast<uint8_t>(4 + round)));
    const auto results = collect(events, miner, {0, 1}, 1);
    // Results of the old job posted after the queue was emptied: at most
    // the call each thread was in, plus one that ended just before.
    std::map<uint8_t, size_t> old;
    for (const core::gpu_result& result : results)
      if (result.sequence == old_generation) ++old[result.thread_index];
    for (const auto& [thread, count] : old) EXPECT_LE(count, 2u * kWays) << "thread " << int(thread);
  }
  miner.stop();
  EXPECT_GT(miner.thread_cpu_share(0), 0.0);
}

TEST(BackendGroup, TwoBackendsMineDisjointNoncesUnderOneGeneration) {
  std::vector<std::unique_ptr<core::backend>> members;
  members.push_back(std::make_unique<cpu_miner>(two_threads(0, 4, 1)));
  members.push_back(std::make_unique<cpu_miner>(two_threads(2, 4, 1)));
  for (auto& member : members) ASSERT_TRUE(member->init_devices());
  core::backend_group group(std::move(members));
  core::event_queue events;
  core::no_hash_rates rates;
  group.start(core::idle_job(core::kPoolNone, crypto::kCryptoNightUpx2), events, rates);
  ASSERT_EQ(group.thread_count(), 4u);
  EXPECT_EQ(group.device_name(3), "CPU1");  // the second member's second thread
  EXPECT_FALSE(group.self_test_enabled());
  for (bool nicehash : {true, false}) {
    group.publish(every_hash_a_share(nicehash, 9));
    std::set<uint32_t> nonces;
    for (const core::gpu_result& result : collect(events, group, {0, 1, 2, 3}, 3)) {
      if (result.sequence != group.generation()) continue;
      EXPECT_TRUE(nonces.insert(result.nonce).second) << "nonce found twice: " << result.nonce;
    }
    EXPECT_GE(nonces.size(), 12u);
  }
  group.stop();
}

}  // namespace
}  // namespace cpu
