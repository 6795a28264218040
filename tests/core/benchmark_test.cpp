// The benchmark on a scripted backend: which reports count, the table and
// the one-line JSON, byte for byte.
#include "core/benchmark.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/printer.h"
#include "crypto/algorithm.h"
#include "support/console_capture.h"

namespace core {
namespace {

// A backend whose threads answer each published job at once: a warm-up
// report per thread that is not refused, then one report of `hashes` over
// `ms`. All calls come from the test thread.
class scripted_backend : public backend {
 public:
  struct device {
    uint32_t number;
    uint32_t hashes;
    uint32_t ms;
    bool refused;
    double cpu_share;
  };
  explicit scripted_backend(std::vector<device> devices) : devices_(std::move(devices)) {}

  void start(const mining_job& initial, event_queue& events, const hash_rate_source&) override {
    events_ = &events;
    current_ = initial;
    ++starts_;
  }
  void publish(const mining_job& job) override {
    current_ = job;
    jobs_.push_back(job);
    // A round of the previous job that ends after the publication.
    if (late_report_) {
      for (size_t i = 0; i < devices_.size(); ++i) post(i, 5000000, 1);
    }
    ++generation_;
    // Every warm-up report first: a measured report taken during the
    // warm-up would be left out.
    for (size_t i = 0; i < devices_.size(); ++i)
      if (!devices_[i].refused) post(i, 1000000, 1);
    for (size_t i = 0; i < devices_.size(); ++i)
      if (!devices_[i].refused) post(i, devices_[i].hashes, devices_[i].ms);
  }
  void stop() override { ++stops_; }
  uint64_t generation() const override { return generation_; }
  mining_job current_job() const { return current_; }
  size_t thread_count() const override { return devices_.size(); }
  uint32_t device_number(size_t thread) const override { return devices_.at(thread).number; }
  base::status init_devices() override { return base::status::ok(); }
  base::status autotune(int32_t) override {
    return base::status::error(base::status_code::kUnsupported, "no tuning");
  }
  void set_all_failed_handler(std::function<void()>) override {}
  bool self_test_enabled() const override { return self_test_enabled_; }
  bool self_test_failed(size_t thread) const override { return devices_.at(thread).refused; }
  double thread_cpu_share(size_t thread) const override { return devices_.at(thread).cpu_share; }
  void shutdown() override {}

  bool self_test_enabled_ = true;
  bool late_report_ = false;
  std::vector<mining_job> jobs_;
  int starts_ = 0, stops_ = 0;

 private:
  void post(size_t thread, uint32_t hashes, uint32_t ms) {
    hash_report report;
    report.thread_index = static_cast<uint8_t>(thread);
    report.hashes = hashes;
    report.milliseconds = ms;
    report.generation = generation_;
    events_->post(executor_event(kHashCount, kPoolNone, report));
  }

  std::vector<device> devices_;
  event_queue* events_ = nullptr;
  mining_job current_;
  uint64_t generation_ = 0;
};

TEST(Benchmark, MeasuresAfterTheWarmUpAndSkipsARefusingDevice) {
  scripted_backend miner({{0, 3000, 1500, false, 0.0}, {3, 0, 0, true, 0.0}});
  event_queue events;
  no_hash_rates rates;
  miner.start(mining_job{}, events, rates);
  std::mt19937 random(1);
  const benchmark_result result = MeasureAlgorithm(miner, events, crypto::kCryptoNight, 0.0, random);
  ASSERT_EQ(miner.jobs_.size(), 1u);
  const mining_job& job = miner.jobs_[0];
  EXPECT_FALSE(job.idle);
  EXPECT_EQ(job.algorithm, crypto::kCryptoNight);
  EXPECT_EQ(job.target, 0u);  // nothing can pass: no results to handle
  EXPECT_EQ(job.blob_length, 76u);
  EXPECT_EQ(job.blob[0], 7);
  EXPECT_STREQ(job.job_id, "benchmark-0");
  EXPECT_EQ(result.algorithm, crypto::kCryptoNight);
  ASSERT_EQ(result.gpus.size(), 2u);
  EXPECT_EQ(result.gpus[0].device, 0u);
  EXPECT_DOUBLE_EQ(result.gpus[0].hash_rate, 2000.0);  // the warm-up report left out
  EXPECT_FALSE(result.gpus[0].self_test_failed);
  EXPECT_EQ(result.gpus[1].device, 3u);
  EXPECT_EQ(result.gpus[1].hash_rate, 0.0);
  EXPECT_TRUE(result.gpus[1].self_test_failed);
  EXPECT_DOUBLE_EQ(result.total(), 2000.0);
}

// Regression: a report of the previous job's last round (or one sent while a
// slow self-test of the new algorithm was still running) was counted as the
// new algorithm's warm-up or rate.
TEST(Benchmark, ReportsOfThePreviousJobDoNotCount) {
  scripted_backend miner({{0, 3000, 1500, false, 0.0}});
  miner.late_report_ = true;
  event_queue events;
  no_hash_rates rates;
  miner.start(mining_job{}, events, rates);
  std::mt19937 random(1);
  const benchmark_result result = MeasureAlgorithm(miner, events, crypto::kCryptoNightPico, 0.0, random);
  ASSERT_EQ(result.gpus.size(), 1u);
  EXPECT_DOUBLE_EQ(result.gpus[0].hash_rate, 2000.0);
}

TEST(Benchmark, PrintsTheTableAndTheJsonLine) {
  scripted_backend miner({{0, 3000, 1500, false, 0.25}, {3, 0, 0, true, 0.5}});
  base::console_capture console;
  const std::vector<benchmark_result> results = RunBenchmark(miner, 0.0, crypto::kCryptoNight);
  const std::string text = console.text();
  EXPECT_EQ(miner.starts_, 1);
  EXPECT_EQ(miner.stops_, 1);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_DOUBLE_EQ(results[0].gpus[0].thread_cpu_share, 0.25);
  EXPECT_NE(text.find("] Benchmark: CryptoNight for 0 s\n"), std::string::npos) << text;
  EXPECT_NE(text.find("] Benchmark: CryptoNight 2000.0 H/s\n"), std::string::npos) << text;
  const std::string table =
      "\nBenchmark results (H/s, 0.0 s per algorithm):\n"
      "  algorithm                      GPU0       GPU3      total\n"
      "  CryptoNight                  2000.0     FAILED     2000.0\n"
      "  GPU0 mining thread: 25.0% of one CPU core (CryptoNight)\n"
      "  GPU3 mining thread: 50.0% of one CPU core (CryptoNight)\n"
      "\n"
      "{\"benchmark_seconds\":0.0,\"results\":[{\"algorithm\":0,\"name\":\"CryptoNight\","
      "\"total_hash_rate\":2000.0,\"gpus\":[{\"gpu\":0,\"hash_rate\":2000.0,\"self_test\":"
      "\"passed\"},{\"gpu\":3,\"hash_rate\":0.0,\"self_test\":\"failed\"}]}]}\n";
  ASSERT_GE(text.size(), table.size());
  EXPECT_EQ(text.substr(text.size() - table.size()), table) << text;
}

TEST(Benchmark, JsonRoundsRatesToOneDecimalAndNamesTheSelfTestState) {
  std::vector<benchmark_result> results(2);
  results[0].algorithm = 0;
  results[0].gpus = {{0, 2000.0, false, 0}, {3, 0.0, true, 0}};
  results[1].algorithm = 4;
  results[1].gpus = {{0, 1234.56, false, 0}, {3, 99.94, false, 0}};
  EXPECT_EQ(BenchmarkJson(2.5, results, true),
            "{\"benchmark_seconds\":2.5,\"results\":[{\"algorithm\":0,\"name\":\"CryptoNight\","
            "\"total_hash_rate\":2000.0,\"gpus\":[{\"gpu\":0,\"hash_rate\":2000.0,\"self_test\":"
            "\"skipped\"},{\"gpu\":3,\"hash_rate\":0.0,\"self_test\":\"failed\"}]},{\"algorithm\":4,"
            "\"name\":\"CryptoNightV7-Lite\",\"total_hash_rate\":1334.5,\"gpus\":[{\"gpu\":0,"
            "\"hash_rate\":1234.6,\"self_test\":\"skipped\"},{\"gpu\":3,\"hash_rate\":99.9,"
            "\"self_test\":\"skipped\"}]}]}");
  EXPECT_EQ(BenchmarkJson(5, {}, false), "{\"benchmark_seconds\":5.0,\"results\":[]}");
  // A row mined over changing heights carries its second rate.
  std::vector<benchmark_result> random(1);
  random[0].algorithm = crypto::kCryptoNightR;
  random[0].gpus = {{0, 40.0, false, 0}};
  random[0].height_change_seconds = 5.0;
  random[0].height_change_rate = 39.44;
  EXPECT_EQ(BenchmarkJson(10, random, false),
            "{\"benchmark_seconds\":10.0,\"results\":[{\"algorithm\":20,\"name\":\"CryptoNightR\","
            "\"total_hash_rate\":40.0,\"height_change_seconds\":5.0,\"height_change_hash_rate\":"
            "39.4,\"gpus\":[{\"gpu\":0,\"hash_rate\":40.0,\"self_test\":\"passed\"}]}]}");
}

}  // namespace
}  // namespace core
