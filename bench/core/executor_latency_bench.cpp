// How long a new job takes from the pool's line to the mining threads while
// submits wait for their answers: a pool on loopback that never answers
// submits, ten of them outstanding, then one job line per iteration timed
// until the executor publishes it. The iteration time is that latency.
#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "core/executor.h"
#include "core/mining_backend.h"
#include "fake_pool.h"

namespace {

using clock_type = std::chrono::steady_clock;

// Records when each job id was published.
class timing_miner : public core::mining_backend {
 public:
  void start(const core::mining_job& initial, core::event_queue&, const core::hash_rate_source&) override {
    std::lock_guard<std::mutex> lock(mutex_);
    current_ = initial;
  }
  void publish(const core::mining_job& job) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      current_ = job;
      last_id_ = job.job_id;
      published_at_ = clock_type::now();
      generation_.fetch_add(1);
    }
    changed_.notify_all();
  }
  void stop() override {}
  uint64_t generation() const override { return generation_.load(); }
  size_t thread_count() const override { return 1; }
  uint32_t device_number(size_t) const override { return 0; }

  // When `job_id` was published, or nullopt after 10 s.
  std::optional<clock_type::time_point> wait_for(const std::string& job_id) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_for(lock, std::chrono::seconds(10), [&] { return last_id_ == job_id; })) return std::nullopt;
    return published_at_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  core::mining_job current_;
  std::string last_id_;
  clock_type::time_point published_at_;
  std::atomic<uint64_t> generation_{0};
};

std::string job_line(const std::string& id) {
  return "{\"method\":\"job\",\"params\":{\"job_id\":\"" + id + "\",\"blob\":\"" + std::string(152, '1') +
         "\",\"target\":\"ffffffff\"}}\n";
}

void BM_JobLatencyWithOutstandingSubmits(benchmark::State& state) {
  const int outstanding = static_cast<int>(state.range(0));
  net::fake_pool pool;
  pool.set_responder([](const std::string& line) -> std::string {
    if (line.find("\"login\"") == std::string::npos) return "";  // submits stay unanswered
    return "{\"id\":1,\"error\":null,\"result\":{\"id\":\"m\",\"job\":{\"job_id\":\"first\",\"blob\":\"" +
           std::string(152, '1') + "\",\"target\":\"ffffffff\"}}}\n";
  });
  timing_miner miner;
  core::executor_settings settings;
  settings.pools[0].address = pool.address();
  settings.pools[0].user = "wallet";
  settings.donation_share = 0.0;
  std::unique_ptr<crypto::CryptoNight> hasher;
  if (const base::status created = crypto::CryptoNight::create(hasher); !created) {
    state.SkipWithError(created.message().c_str());
    return;
  }
  core::executor executor(miner, settings, std::move(hasher));
  executor.start();
  if (!miner.wait_for("first")) {
    state.SkipWithError("no login");
    return;
  }
  for (int i = 0; i < outstanding; ++i) {
    core::gpu_result result;
    result.nonce = static_cast<uint32_t>(i);
    result.sequence = miner.generation();
    executor.post(core::executor_event(core::kFoundNonce, core::kPoolUser, result));
  }
  if (!pool.wait_for_line(static_cast<size_t>(outstanding), std::chrono::seconds(10))) {
    state.SkipWithError("submits not sent");
    return;
  }
  int serial = 0;
  for (auto _ : state) {
    const std::string id = "job-" + std::to_string(++serial);
    const auto sent = clock_type::now();
    pool.send(job_line(id));
    const auto published = miner.wait_for(id);
    if (!published) {
      state.SkipWithError("job not published");
      break;
    }
    state.SetIterationTime(std::chrono::duration<double>(*published - sent).count());
  }
  state.counters["outstanding"] = static_cast<double>(executor.user_pool()->outstanding());
  executor.stop();
}
BENCHMARK(BM_JobLatencyWithOutstandingSubmits)->Arg(0)->Arg(10)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
