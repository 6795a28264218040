// The mining threads: one per GPU. Each takes the published job, keeps its
// GPU's one or two command queues busy with search rounds, and posts found
// nonces and hash counts to the executor's queue. gpu_miner is the OpenCL
// implementation of core::backend; its calls come from the main thread or
// the executor thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "core/backend.h"
#include "core/event_queue.h"
#include "core/work_records.h"
#include "gpu/backend_options.h"
#include "gpu/gpu_context.h"
#include "monitor/gpu_monitor.h"
#include "monitor/temperature_guard.h"

namespace gpu {

struct mine_thread {
  // The job taken last and its generation; written and read by the thread
  // itself. job.blob[42] is the top byte of every nonce reported; job.idle
  // is also set by the thread to park itself.
  uint64_t generation = 0;
  core::mining_job job;

  std::thread thread;
  uint8_t number = 0;               // position in the --gpu list
  std::atomic<bool> running{true};  // cleared to stop the thread
  GpuContext* gpu = nullptr;

  // --temp-limit: pauses the thread while its GPU is too hot.
  monitor::temperature_guard guard;

  // A round overflowed its result list: the queues run fewer hashes per
  // round until the next job, which gets full_hashes back.
  bool round_lowered = false;
  uint64_t full_hashes[kMaxQueues] = {};

  // Hash-rate watchdog state.
  int32_t watchdog_countdown = 12;
  int32_t low_count = 0;

  // Kernel self-test: the algorithm last verified on this GPU (-1 none) and
  // the one that failed (-1 none); jobs of a failed algorithm are not mined.
  int32_t tested_algorithm = -1;
  int32_t failed_algorithm = -1;
  // Whether the current job's algorithm is the failed one; written by the
  // thread, read by others (the benchmark) at any time.
  std::atomic<bool> refused{false};

  // Set when the GPU could not be set up again (a reset that failed): the
  // thread mines nothing until an algorithm switch sets the GPU up anew.
  bool parked = false;
  // Whether this thread has been counted among the failed ones.
  bool counted_failed = false;

  // CPU time the thread used and its lifetime, for the lean-thread check.
  std::atomic<uint64_t> cpu_us{0};
  std::atomic<uint64_t> wall_us{0};
};

class gpu_miner : public core::backend {
 public:
  // Keeps a copy of options; init_devices sets up the GPUs of
  // options.gpu_list, in that order, as the backend's own records.
  explicit gpu_miner(const backend_options& options);
  // Stops the threads and releases every OpenCL object of the GPUs.
  ~gpu_miner() override;
  gpu_miner(const gpu_miner&) = delete;
  gpu_miner& operator=(const gpu_miner&) = delete;

  void start(const core::mining_job& initial, core::event_queue& events,
             const core::hash_rate_source& rates) override;
  void publish(const core::mining_job& job) override;
  void stop() override;
  uint64_t generation() const override { return job_generation_.load(); }
  size_t thread_count() const override { return threads_.size(); }
  uint32_t device_number(size_t thread) const override;

  // InitGpus with the options: the GPUs of options.gpu_list into devices().
  base::status init_devices() override;
  // RunAutotune on this backend (autotune.h).
  base::status autotune(int32_t algorithm) override;
  void set_all_failed_handler(std::function<void()> handler) override {
    all_failed_ = std::move(handler);
  }
  bool self_test_enabled() const override { return !options_.no_self_test; }
  bool self_test_failed(size_t thread) const override;
  std::string device_error(size_t thread) const override;
  core::device_reading read_device(size_t thread) const override;
  double thread_cpu_share(size_t thread) const override;
  // Shuts the sensors down.
  void shutdown() override;

  // The GPU records, one per thread in list order. Filled by init_devices
  // (tests and the tuner may set them up themselves); touch them only
  // while no mining thread runs (main or executor thread).
  std::vector<GpuContext>& devices() { return devices_; }
  const backend_options& options() const { return options_; }
  // Scratchpad size the GPUs are set up for; any thread.
  uint32_t scratchpad_size() const { return setup_scratchpad_.load(); }

  // Used by the mining threads.
  void TakeJob(mine_thread& thread);
  void WorkLoop(mine_thread& thread);
  uint64_t publication_time_ms() const { return publication_time_ms_.load(); }

 private:
  std::unique_ptr<mine_thread> make_thread(size_t index, const core::mining_job& job);
  void loop_one_queue(mine_thread& t);
  void loop_two_queues(mine_thread& t);
  // Parks the thread while its job is idle; false when it was stopped.
  bool wait_for_work(mine_thread& t, uint64_t& last_report_ms);
  // Uploads the job when the queue needs it; false when the job cannot be
  // mined (its height has no kernel): the thread then parks it as idle.
  bool upload_if_dirty(mine_thread& t, int queue);
  // Posts the nonces of a completed round; a round that found more than the
  // list holds posts the count it lost and lowers the hashes per round.
  void report_results(mine_thread& t, int queue);
  void report_hashes(mine_thread& t, uint64_t hashes, uint64_t& last_report_ms);
  void wait_all_queues(mine_thread& t);
  // Checks the thread's temperature guard and publishes its verdict for
  // the statistics; true while the GPU must stay paused.
  bool too_hot(mine_thread& t);
  // Parks the thread while its guard holds the GPU paused, reporting zero
  // hashes each second so its rate reads 0; returns when it cooled down or
  // the thread was stopped.
  void hold_while_hot(mine_thread& t, uint64_t& last_report_ms);
  // Runs the self-test when the thread's job has an algorithm not verified
  // yet; false when the GPU must not mine it.
  bool verify_algorithm(mine_thread& t);
  // Between two jobs: makes the GPU's OpenCL objects anew (ReInitOpenCLGpu)
  // once it has built options_.height_builds_per_context cn/r programs.
  // False when that failed and the GPU is parked.
  bool renew_context_if_due(mine_thread& t);
  // Parks the thread's GPU for good with the error that made it unusable:
  // prints it, refuses every job and counts the GPU as failed.
  void park(mine_thread& t, const base::status& error);
  // Counts a thread whose GPU mines nothing; the last one calls all_failed_.
  void count_failed(mine_thread& t);

  const backend_options options_;
  monitor::gpu_monitor sensors_;  // set up by init_devices, read-only afterwards
  std::vector<GpuContext> devices_;
  // Per --gpu entry: whether its guard holds it paused; written by its
  // mining thread, read by any thread. Sized at construction.
  std::vector<std::atomic<bool>> paused_;
  std::atomic<uint32_t> setup_scratchpad_{0};  // written by start and publish
  core::event_queue* events_ = nullptr;
  const core::hash_rate_source* rates_ = nullptr;

  std::mutex publication_mutex_;   // taken before job_mutex_
  mutable std::mutex job_mutex_;   // guards current_job_
  core::mining_job current_job_;
  std::atomic<uint64_t> job_generation_{0};
  std::atomic<uint64_t> publication_time_ms_{0};
  uint32_t thread_total_ = 0;
  std::function<void()> all_failed_;
  std::atomic<size_t> failed_threads_{0};
  uint8_t random_top_byte_ = 0;
  mutable std::mutex errors_mutex_;
  std::vector<std::string> device_errors_;  // per thread, guarded by errors_mutex_
  std::vector<std::unique_ptr<mine_thread>> threads_;  // executor thread only
};

// Milliseconds of the monotonic clock since its first use.
uint64_t monotonic_ms();

}  // namespace gpu
