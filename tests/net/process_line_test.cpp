// jpsock::process_line driven directly, without a socket: how a job is
// decoded and stored, what a rejected line leaves behind, hostile input.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "support/pool_event_queue.h"
#include "fake_pool.h"
#include "net/jpsock.h"
#include "net/line_framer.h"

namespace net {
namespace {

struct line_driver {
  support::pool_event_queue events;
  jpsock sock{core::kPoolDonation, events};

  bool feed(std::string line) { return sock.process_line(line.data(), line.size()); }
};

TEST(ProcessLine, DecodesTheBlobInEitherCaseAndZeroesTheRest) {
  line_driver d;
  std::string blob;
  for (int i = 0; i < 20; ++i) blob += (i % 2 == 0) ? "aB" : "0f";
  ASSERT_TRUE(d.feed(job_line("job", blob, "b88d0600")));
  auto event = d.events.take_for(std::chrono::seconds(0));
  ASSERT_TRUE(event);
  EXPECT_EQ(event->kind, core::kNewJob);
  EXPECT_EQ(event->pool_id, core::kPoolDonation);
  const auto& job = std::get<core::job_record>(event->payload);
  ASSERT_EQ(job.blob_length, 20u);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(job.blob[i], (i % 2 == 0) ? 0xab : 0x0f) << i;
  for (size_t i = 20; i < core::kBlobSize; ++i) EXPECT_EQ(job.blob[i], 0) << i;
  for (size_t i = 3; i < core::kJobIdSize; ++i) EXPECT_EQ(job.job_id[i], 0) << i;
  EXPECT_EQ(d.sock.difficulty(), 10000u);
}

TEST(ProcessLine, EmptyBlobIsAJobWithoutWork) {
  line_driver d;
  ASSERT_TRUE(d.feed(job_line("1", "", "ffff")));
  auto event = d.events.take_for(std::chrono::seconds(0));
  ASSERT_TRUE(event);
  EXPECT_EQ(std::get<core::job_record>(event->payload).blob_length, 0u);
  core::job_record job;
  EXPECT_FALSE(d.sock.get_current_job(job));
}

TEST(ProcessLine, RejectedJobStoresNothing) {
  line_driver d;
  ASSERT_TRUE(d.feed(job_line("good", "0707", "b88d0600")));
  EXPECT_FALSE(d.feed(job_line("bad", "0808", "00000000")));
  EXPECT_FALSE(d.feed(job_line("worse", "08", "ffff0000ffff")));
  EXPECT_EQ(d.events.size(), 1u);  // only the good job was posted
  core::job_record job;
  ASSERT_TRUE(d.sock.get_current_job(job));
  EXPECT_STREQ(job.job_id, "good");
  EXPECT_EQ(d.sock.difficulty(), 10000u);
  // The first error of the connection is the one kept.
  EXPECT_EQ(d.sock.error_text(), "Job Error: invalid target: 00000000");
}

TEST(ProcessLine, NulInsideTheLineIsInvalidJson) {
  line_driver d;
  std::string line = job_line("1", "07", "ffff");
  line.insert(line.size() - 1, std::string("\0garbage", 8));
  EXPECT_FALSE(d.feed(line));
  EXPECT_EQ(d.sock.error_text(), "Job Error: Invalid JSON");
  EXPECT_EQ(d.events.size(), 0u);
}

TEST(ProcessLine, EscapedNulInAMethodNameIsNotJob) {
  line_driver d;
  // Another notification, which is ignored: not a job, and no error.
  EXPECT_TRUE(d.feed("{\"method\":\"job\\u0000x\",\"params\":{\"job_id\":\"1\",\"blob\":\"07\",\"target\":\"ff\"}}\n"));
  EXPECT_FALSE(d.sock.error_set());
  core::job_record job;
  EXPECT_FALSE(d.sock.get_current_job(job));
}

TEST(ProcessLine, DeepNestingIsHandledWithoutRecursion) {
  line_driver d;
  const std::string deep = std::string(2000, '[') + std::string(2000, ']');
  EXPECT_FALSE(d.feed(deep + "\n"));
  EXPECT_EQ(d.sock.error_text(), "Job Error: Invalid root");

  line_driver reply;
  EXPECT_FALSE(reply.feed("{\"id\":1,\"result\":" + deep + "}\n"));
  EXPECT_EQ(reply.sock.error_text(), "Job Error: Unexpected call response");
}

// Guards against parser memory kept from one line to the next: a line of
// ~2000 small values needs some 32 KiB of parse stack and more than the
// document pool's first block; the pool's chunks are freed before the next
// line, which must not find anything of the parser still in them (ASan
// reports the use of a freed chunk).
TEST(ProcessLine, WideLinesLeaveNothingInFreedParseMemory) {
  line_driver d;
  const auto wide = [](const std::string& prefix, const std::string& suffix) {
    std::string line = prefix + "[0";
    while (line.size() + 2 + suffix.size() < line_framer::kBufferSize - 1) line += ",0";
    return line + "]" + suffix;
  };
  const std::string reply = wide("{\"id\":1,\"result\":", "}\n");
  ASSERT_LT(reply.size(), line_framer::kBufferSize);
  EXPECT_FALSE(d.feed(reply));  // parsed, then refused: no call waits
  EXPECT_EQ(d.sock.error_text(), "Job Error: Unexpected call response");

  for (int i = 0; i < 3; ++i) {
    const std::string job = wide(
        "{\"method\":\"job\",\"params\":{\"job_id\":\"w" + std::to_string(i) +
            "\",\"blob\":\"0707\",\"target\":\"ffff\",\"pad\":",
        "}}\n");
    ASSERT_LT(job.size(), line_framer::kBufferSize);
    ASSERT_TRUE(d.feed(job)) << i;
    ASSERT_TRUE(d.feed(job_line("n" + std::to_string(i), "0808", "b88d0600"))) << i;
  }
  ASSERT_EQ(d.events.size(), 6u);
  for (int i = 0; i < 3; ++i) {
    auto first = d.events.take_for(std::chrono::seconds(0));
    auto second = d.events.take_for(std::chrono::seconds(0));
    ASSERT_TRUE(first && second);
    const auto& wide_job = std::get<core::job_record>(first->payload);
    EXPECT_EQ(std::string(wide_job.job_id), "w" + std::to_string(i));
    EXPECT_EQ(wide_job.target, 0xffffu);
    const auto& job = std::get<core::job_record>(second->payload);
    EXPECT_EQ(std::string(job.job_id), "n" + std::to_string(i));
    EXPECT_EQ(job.blob[0], 0x08);
    EXPECT_EQ(job.target, 0x00068db8u);
  }
}

TEST(ProcessLine, LinesLongerThanTheFramerAllowsStillParse) {
  // Only direct callers can pass them; the parse stack moves to the heap.
  line_driver d;
  std::string pad = "[[0]";
  for (int i = 0; i < 20000; ++i) pad += ",[0]";
  pad += "]";
  ASSERT_TRUE(d.feed("{\"method\":\"job\",\"params\":{\"job_id\":\"long\",\"blob\":\"07\","
                     "\"target\":\"ffff\",\"pad\":" + pad + "}}\n"));
  ASSERT_TRUE(d.feed(job_line("short", "07", "ffff")));
  core::job_record job;
  ASSERT_TRUE(d.sock.get_current_job(job));
  EXPECT_STREQ(job.job_id, "short");
  EXPECT_EQ(d.events.size(), 2u);
}

TEST(ProcessLine, UnescapedJobIdIsCopied) {
  line_driver d;
  ASSERT_TRUE(d.feed(job_line("a\\\"b\\\\c", "07", "ffff")));
  core::job_record job;
  ASSERT_TRUE(d.sock.get_current_job(job));
  EXPECT_STREQ(job.job_id, "a\"b\\c");
}

TEST(ProcessLine, ManyLinesReuseTheSameMemory) {
  line_driver d;
  // Far more lines than fit into the fixed blocks if they were not reset.
  for (int i = 0; i < 2000; ++i) {
    ASSERT_TRUE(d.feed(job_line(std::to_string(i), std::string(152, '1'), "b88d0600"))) << i;
    ASSERT_TRUE(d.events.take_for(std::chrono::seconds(0)));
  }
  core::job_record job;
  ASSERT_TRUE(d.sock.get_current_job(job));
  EXPECT_STREQ(job.job_id, "1999");
  EXPECT_EQ(job.blob_length, 76u);
}

// The pools' dialect: a job's "algo" member, 64-bit targets, notifications
// other than "job".
core::job_record take_job(line_driver& d) {
  auto event = d.events.take_for(std::chrono::seconds(0));
  if (!event || event->kind != core::kNewJob) return core::job_record();
  return std::get<core::job_record>(event->payload);
}

std::string dialect_job(const std::string& members) {
  return "{\"method\":\"job\",\"params\":{\"job_id\":\"7\",\"blob\":\"0101\",\"target\":\"b88d0600\"" +
         members + "}}\n";
}

TEST(ProcessLineDialect, AlgoNamesEveryCatalogueRowAndTheAlias) {
  const std::pair<const char*, int32_t> names[] = {
      {"cn/0", 0},       {"cn/1", 1},         {"cn-heavy/0", 2}, {"cn-lite/0", 3},
      {"cn-lite/1", 4},  {"cn-heavy/tube", 5}, {"cn/xtl", 6},    {"cn-heavy/xhv", 7},
      {"cn/msr", 8},     {"cn/fast", 8},       {"cn/rto", 9},    {"cn/2", 10}};
  for (const auto& [name, id] : names) {
    SCOPED_TRACE(name);
    line_driver d;
    ASSERT_TRUE(d.feed(dialect_job(std::string(",\"algo\":\"") + name + "\"")));
    const core::job_record job = take_job(d);
    EXPECT_EQ(job.algorithm, id);
    EXPECT_STREQ(job.algo_name, name);
  }
}

TEST(ProcessLineDialect, UnknownOrMalformedAlgoIsKeptForTheExecutorNotAnError) {
  line_driver d;
  ASSERT_TRUE(d.feed(dialect_job(",\"algo\":\"cn/zzz\",\"height\":123,\"seed_hash\":\"00ff\"")));
  core::job_record job = take_job(d);
  EXPECT_EQ(job.algorithm, core::kJobAlgoUnknown);
  EXPECT_STREQ(job.algo_name, "cn/zzz");
  EXPECT_FALSE(d.sock.error_set());

  ASSERT_TRUE(d.feed(dialect_job(",\"algo\":7")));
  job = take_job(d);
  EXPECT_EQ(job.algorithm, core::kJobAlgoUnknown);

  // A hostile name: control bytes never reach the console, and a long one
  // is cut to the field.
  ASSERT_TRUE(d.feed(dialect_job(",\"algo\":\"\\u001b[31m" + std::string(100, 'x') + "\"")));
  job = take_job(d);
  EXPECT_EQ(job.algorithm, core::kJobAlgoUnknown);
  EXPECT_EQ(std::strlen(job.algo_name), core::kAlgoNameSize - 1);
  EXPECT_EQ(job.algo_name[0], '?');

  ASSERT_TRUE(d.feed(dialect_job("")));
  job = take_job(d);
  EXPECT_EQ(job.algorithm, core::kJobAlgoNotNamed);
  EXPECT_STREQ(job.algo_name, "");
}

TEST(ProcessLineDialect, TargetsOfEightDigitsKeepTheirRuleAndSixteenAreSixtyFourBits) {
  line_driver d;
  ASSERT_TRUE(d.feed(job_line("a", "0707", "b88d0600")));
  core::job_record job = take_job(d);
  EXPECT_EQ(job.target, 0x00068db8u);
  EXPECT_EQ(job.share_target, 0x00068db8ull << 32);
  EXPECT_EQ(d.sock.difficulty(), 10000u);

  // 0x00068db8_00000000 as 16 digits: the same target, difficulty 2^64 / t.
  ASSERT_TRUE(d.feed(job_line("b", "0707", "00000000b88d0600")));
  job = take_job(d);
  EXPECT_EQ(job.target, 0x00068db8u);
  EXPECT_EQ(job.share_target, 0x00068db8ull << 32);
  EXPECT_EQ(d.sock.difficulty(), 10000u);

  // A low word that is not zero rounds the GPUs' 32-bit target up.
  ASSERT_TRUE(d.feed(job_line("c", "0707", "0100000000100000")));
  job = take_job(d);
  EXPECT_EQ(job.share_target, 0x0000100000000001ull);
  EXPECT_EQ(job.target, 0x00001001u);
  EXPECT_EQ(d.sock.difficulty(), static_cast<uint64_t>((static_cast<unsigned __int128>(1) << 64) /
                                                       0x0000100000000001ull));

  // The edges: the largest target keeps the GPU target at its maximum;
  // the target 1 gives the largest difficulty; a target below 2^32 still
  // searches with 1.
  ASSERT_TRUE(d.feed(job_line("d", "0707", "ffffffffffffffff")));
  job = take_job(d);
  EXPECT_EQ(job.target, 0xFFFFFFFFu);
  EXPECT_EQ(d.sock.difficulty(), 1u);
  ASSERT_TRUE(d.feed(job_line("e", "0707", "0100000000000000")));
  job = take_job(d);
  EXPECT_EQ(job.share_target, 1u);
  EXPECT_EQ(job.target, 1u);
  EXPECT_EQ(d.sock.difficulty(), UINT64_MAX);

  line_driver zero;
  EXPECT_FALSE(zero.feed(job_line("f", "0707", "0000000000000000")));
  EXPECT_EQ(zero.sock.error_text(), "Job Error: invalid target: 0000000000000000");
  line_driver odd;
  EXPECT_FALSE(odd.feed(job_line("g", "0707", "00000000b88d06")));
  EXPECT_EQ(odd.sock.error_text(), "Job Error: invalid target format");
  line_driver long_target;
  EXPECT_FALSE(long_target.feed(job_line("h", "0707", "00000000b88d06000")));
  EXPECT_EQ(long_target.sock.error_text(), "Job Error: invalid target format");
  line_driver bad_digit;
  EXPECT_FALSE(bad_digit.feed(job_line("i", "0707", "00000000b88d060x")));
  EXPECT_EQ(bad_digit.sock.error_text(), "Job Error: invalid target: 00000000b88d060x");
}

TEST(ProcessLineDialect, OtherNotificationsAreIgnoredButMalformedOnesStillEndTheConnection) {
  line_driver d;
  EXPECT_TRUE(d.feed("{\"jsonrpc\":\"2.0\",\"method\":\"mining.set_extranonce\",\"params\":[\"ab\",4]}\n"));
  EXPECT_TRUE(d.feed("{\"method\":\"\",\"params\":{}}\n"));
  EXPECT_FALSE(d.sock.error_set());
  EXPECT_FALSE(d.events.take_for(std::chrono::seconds(0)));

  line_driver not_text;
  EXPECT_FALSE(not_text.feed("{\"method\":5,\"params\":{}}\n"));
  EXPECT_EQ(not_text.sock.error_text(), "Job Error: Protocol error 1");
  line_driver job_without_params;
  EXPECT_FALSE(job_without_params.feed("{\"method\":\"job\"}\n"));
  EXPECT_EQ(job_without_params.sock.error_text(), "Job Error: Protocol error 2");
}

}  // namespace
}  // namespace net
