// The work records and the executor's event queue: layout, posting order,
// blocking take, unknown kinds, payload ownership, growth and wrap-around.
#include "core/event_queue.h"

#include <type_traits>
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "core/work_records.h"

namespace core {
namespace {

constexpr std::chrono::seconds kWait{10};

// The pool's record keeps its first 160 bytes; the 64-bit target and the
// pool's algorithm name follow them.
TEST(WorkRecords, JobRecordKeepsThe160ByteLayoutAhead) {
  EXPECT_EQ(offsetof(job_record, share_target), 160u);
  EXPECT_TRUE(std::is_trivially_copyable_v<job_record>);
  EXPECT_EQ(offsetof(job_record, job_id), 0u);
  EXPECT_EQ(offsetof(job_record, blob), 64u);
  EXPECT_EQ(offsetof(job_record, target), 152u);
  EXPECT_EQ(offsetof(job_record, blob_length), 156u);
}

TEST(WorkRecords, EventKindsHaveTheirNumbers) {
  const uint32_t kinds[] = {kSocketReady, kSocketError, kNewJob,      kFoundNonce,
                            kHashCount,   kReconnect,   kSwitchPool,  kCloseDevPool,
                            kPrintShares, kPrintReport, kStop,       kShareResult,
                            kProbePrimary, kHousekeeping, kQuiet, kLostNonces};
  for (uint32_t i = 0; i < 16; ++i) EXPECT_EQ(kinds[i], i + 1);
  EXPECT_FALSE(is_known_event_kind(0));
  EXPECT_TRUE(is_known_event_kind(1));
  EXPECT_TRUE(is_known_event_kind(11));
  EXPECT_TRUE(is_known_event_kind(16));
  EXPECT_FALSE(is_known_event_kind(17));
}

TEST(EventQueue, EventsComeOutInPostingOrder) {
  event_queue queue;
  queue.post(executor_event(kSocketReady, kPoolUser));
  queue.post(executor_event(
      kSocketError, kPoolDonation,
      base::status::error(base::status_code::kConnectionLost, "Recv Error: socket closed")));
  executor_event first = queue.take();
  executor_event second = queue.take();
  EXPECT_EQ(first.kind, kSocketReady);
  EXPECT_EQ(first.pool_id, kPoolUser);
  EXPECT_TRUE(std::holds_alternative<std::monostate>(first.payload));
  EXPECT_EQ(second.kind, kSocketError);
  EXPECT_EQ(second.pool_id, kPoolDonation);
  EXPECT_EQ(std::get<base::status>(second.payload).message(), "Recv Error: socket closed");
  EXPECT_EQ(queue.size(), 0u);
}

TEST(EventQueue, UnknownKindIsTakenLikeAnyOther) {
  event_queue queue;
  queue.post(executor_event(99, kPoolNone));
  queue.post(executor_event(kStop, kPoolNone));
  executor_event unknown = queue.take();
  EXPECT_EQ(unknown.kind, 99u);
  EXPECT_FALSE(is_known_event_kind(unknown.kind));
  EXPECT_EQ(queue.take().kind, kStop);
  EXPECT_EQ(queue.size(), 0u);
}

TEST(EventQueue, PayloadsAreCopiedByValue) {
  event_queue queue;
  job_record job;
  std::memcpy(job.job_id, "abc", 3);
  for (int i = 0; i < 20; ++i) job.blob[i] = static_cast<uint8_t>(0xa0 + i);
  job.blob_length = 20;
  job.target = 0x00068db8u;
  base::status error =
      base::status::error(base::status_code::kProtocolError, "Job Error: Invalid JSON");
  queue.post(executor_event(kNewJob, kPoolUser, job));
  queue.post(executor_event(kSocketError, kPoolUser, error));
  job.blob[0] = 0;
  error = base::status::ok();

  executor_event job_event = queue.take();
  const auto& copy = std::get<job_record>(job_event.payload);
  EXPECT_EQ(copy.blob[0], 0xa0);
  for (size_t i = 20; i < kBlobSize; ++i) EXPECT_EQ(copy.blob[i], 0) << i;
  EXPECT_STREQ(copy.job_id, "abc");
  EXPECT_EQ(std::get<base::status>(queue.take().payload).message(), "Job Error: Invalid JSON");
}

TEST(EventQueue, GpuResultAndHashReportTravel) {
  event_queue queue;
  queue.post(executor_event(kFoundNonce, kPoolUser, gpu_result{3, 0xdeadbeefu, 42}));
  queue.post(executor_event(kHashCount, kPoolUser, hash_report{1, 1000, 250}));
  const auto result = std::get<gpu_result>(queue.take().payload);
  EXPECT_EQ(result.thread_index, 3);
  EXPECT_EQ(result.nonce, 0xdeadbeefu);
  EXPECT_EQ(result.sequence, 42u);
  const auto report = std::get<hash_report>(queue.take().payload);
  EXPECT_EQ(report.thread_index, 1);
  EXPECT_EQ(report.hashes, 1000u);
  EXPECT_EQ(report.milliseconds, 250u);
}

TEST(EventQueue, WrapsAndGrowsWithoutLosingOrder) {
  event_queue queue;
  uint64_t next_in = 0;
  uint64_t next_out = 0;
  // Move the head into the middle of the ring, then outgrow it twice.
  for (int i = 0; i < 40; ++i) queue.post(executor_event(kPrintReport, next_in++));
  for (int i = 0; i < 30; ++i) ASSERT_EQ(queue.take().pool_id, next_out++);
  for (size_t i = 0; i < 4 * event_queue::kInitialSlots; ++i) {
    queue.post(executor_event(kPrintReport, next_in++));
  }
  EXPECT_EQ(queue.size(), next_in - next_out);
  while (next_out < next_in) ASSERT_EQ(queue.take().pool_id, next_out++);
  EXPECT_EQ(queue.size(), 0u);
}

// The exit goes ahead of a backlog, also with the head at the ring's start
// and with the ring full (it grows); the rest keep their order behind it.
TEST(EventQueue, PostFrontGoesAheadOfTheBacklog) {
  for (size_t backlog : {size_t{0}, size_t{5}, event_queue::kInitialSlots}) {
    event_queue queue;
    for (size_t i = 0; i < backlog; ++i) queue.post(executor_event(kPrintReport, i));
    queue.post_front(executor_event(kStop, 999));
    ASSERT_EQ(queue.size(), backlog + 1);
    EXPECT_EQ(queue.take().kind, kStop) << backlog;
    for (size_t i = 0; i < backlog; ++i) ASSERT_EQ(queue.take().pool_id, i);
  }
}

TEST(EventQueue, TakeForOnAnEmptyQueueTimesOut) {
  event_queue queue;
  EXPECT_FALSE(queue.take_for(std::chrono::milliseconds(1)));
}

TEST(EventQueue, TakeWaitsForAPostFromAnotherThread) {
  event_queue queue;
  auto taker = std::async(std::launch::async, [&] { return queue.take(); });
  // The taker blocks (or has not started yet); a post must wake it.
  std::thread poster([&] { queue.post(executor_event(kPrintReport, kPoolNone)); });
  ASSERT_EQ(taker.wait_for(kWait), std::future_status::ready);
  EXPECT_EQ(taker.get().kind, kPrintReport);
  poster.join();
}

TEST(EventQueue, EachProducerKeepsItsOrder) {
  event_queue queue;
  constexpr int kProducers = 4;
  constexpr uint64_t kPerProducer = 2000;
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&queue, p] {
      for (uint64_t i = 0; i < kPerProducer; ++i) {
        queue.post(executor_event(kHashCount, i, hash_report{static_cast<uint8_t>(p), 0, 0}));
      }
    });
  }
  uint64_t expected[kProducers] = {};
  for (uint64_t n = 0; n < kProducers * kPerProducer; ++n) {
    auto event = queue.take_for(kWait);
    ASSERT_TRUE(event);
    const int p = std::get<hash_report>(event->payload).thread_index;
    ASSERT_EQ(event->pool_id, expected[p]) << "producer " << p;
    ++expected[p];
  }
  for (auto& producer : producers) producer.join();
  EXPECT_EQ(queue.size(), 0u);
}

}  // namespace
}  // namespace core
