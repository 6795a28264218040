#include "gpu/mine_thread.h"

#include <algorithm>
#include <chrono>
#include <random>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/printer.h"
#include "crypto/algorithm.h"
#include "gpu/autotune.h"
#include "gpu/discovery.h"
#include "gpu/height_programs.h"
#include "gpu/launch.h"
#include "gpu/self_test.h"
#include "gpu/reset.h"
#include "gpu/watchdog.h"
#include "monitor/gpu_monitor.h"

namespace gpu {
namespace {

constexpr auto kIdlePoll = std::chrono::milliseconds(100);

void sleep_ms(uint64_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace

uint64_t monotonic_ms() {
  static const auto origin = std::chrono::steady_clock::now();
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now() - origin)
                                   .count());
}

uint32_t gpu_miner::device_number(size_t thread) const {
  const auto& list = options_.gpu_list;
  return thread < list.size() ? list[thread] : static_cast<uint32_t>(thread);
}

gpu_miner::gpu_miner(const backend_options& options)
    : options_(options), sensors_(options.sysfs_root), paused_(options.gpu_list.size()) {}

gpu_miner::~gpu_miner() {
  stop();
  for (GpuContext& gpu : devices_) ReleaseGpu(gpu);
}

base::status gpu_miner::init_devices() { return InitGpus(options_, devices_, sensors_); }

base::status gpu_miner::autotune(int32_t algorithm) { return RunAutotune(*this, algorithm); }

void gpu_miner::shutdown() { sensors_.shutdown(); }

core::device_reading gpu_miner::read_device(size_t thread) const {
  core::device_reading reading;
  const uint32_t ordinal = device_number(thread);
  reading.temperature_c = sensors_.temperature(ordinal);
  reading.fan = sensors_.fan_speed(ordinal);
  reading.paused = thread < paused_.size() && paused_[thread].load();
  return reading;
}

bool gpu_miner::too_hot(mine_thread& t) {
  const bool hot = t.guard.check(monotonic_ms());
  if (t.number < paused_.size()) paused_[t.number].store(t.guard.paused());
  return hot;
}

std::unique_ptr<mine_thread> gpu_miner::make_thread(size_t index, const core::mining_job& job) {
  auto t = std::make_unique<mine_thread>();
  t->job = job;
  // The thread holds `job` as of the current generation. Threads started by a
  // scratchpad switch exist before the new job is in place: with any older
  // generation they would take the old job and mine the old algorithm on the
  // new buffers.
  t->generation = job_generation_.load();
  t->number = static_cast<uint8_t>(index);
  t->gpu = &devices_[index];
  t->guard = monitor::temperature_guard(device_number(index), options_.temp_limit_c,
                                       options_.temp_resume_c, &sensors_,
                                       index < paused_.size() && paused_[index].load());
  // A GPU whose last reset failed has nothing to run rounds on.
  if (!t->gpu->reset_status) park(*t, t->gpu->reset_status);
  mine_thread* raw = t.get();
  t->thread = std::thread([this, raw] { WorkLoop(*raw); });
  return t;
}

void gpu_miner::start(const core::mining_job& initial, core::event_queue& events,
                      const core::hash_rate_source& rates) {
  std::lock_guard<std::mutex> lock(publication_mutex_);
  events_ = &events;
  rates_ = &rates;
  job_generation_.store(0);
  {
    std::lock_guard<std::mutex> job_lock(job_mutex_);
    current_job_ = initial;
  }
  std::random_device random;  // the operating system's random source
  random_top_byte_ = options_.nonces.key >= 0 ? static_cast<uint8_t>(options_.nonces.key)
                                               : static_cast<uint8_t>(random() >> 24);
  threads_.clear();  // a restart after stop()
  setup_scratchpad_.store(devices_.empty() ? 0 : static_cast<uint32_t>(devices_[0].scratchpad_bytes));
  const size_t count = std::min(options_.gpu_list.size(), devices_.size());
  // With CPU threads beside the GPUs the nonce space has their slots too.
  thread_total_ = std::max(static_cast<uint32_t>(count), options_.nonces.total);
  {
    std::lock_guard<std::mutex> errors_lock(errors_mutex_);
    device_errors_.assign(count, std::string());
  }
  std::vector<uint32_t> devices;
  for (size_t i = 0; i < count; ++i) devices.push_back(device_number(i));
  monitor::WarnGpusWithoutSensor(sensors_, devices, options_.temp_limit_c);
  for (size_t i = 0; i < count; ++i) threads_.push_back(make_thread(i, initial));
}

void gpu_miner::stop() {
  for (auto& t : threads_) {
    t->running.store(false);
    if (t->thread.joinable()) t->thread.join();
  }
}

void gpu_miner::publish(const core::mining_job& job) {
  std::lock_guard<std::mutex> lock(publication_mutex_);
  const uint32_t size = crypto::scratchpad_size(job.algorithm);
  // Another scratchpad size needs new buffers; another algorithm of the same
  // size only when a GPU has a stored autotune setting that differs.
  const int32_t setup_algorithm = devices_.empty() ? 0 : devices_[0].setup_algorithm.load();
  const bool tuning_changes = job.algorithm != setup_algorithm && !job.idle &&
                              TunedSettingChanges(devices_, job.algorithm);
  if (size != setup_scratchpad_.load() || tuning_changes) {
    base::printer::inst().print_leveled(base::kEvent, "Switching Algorithm");
    for (auto& t : threads_) {
      t->running.store(false);
      if (t->thread.joinable()) t->thread.join();
    }
    setup_scratchpad_.store(size);
    failed_threads_.store(0);
    {
      std::lock_guard<std::mutex> errors_lock(errors_mutex_);
      for (std::string& error : device_errors_) error.clear();
    }
    for (size_t i = 0; i < threads_.size(); ++i) {
      GpuContext& gpu = devices_[i];
      gpu.scratchpad_bytes = size;
      gpu.setup_algorithm = job.algorithm;
      // A GPU that cannot be set up again is parked by its new thread
      // (make_thread); the others mine on.
      if (ReInitOpenCLGpu(gpu)) {
        for (GpuQueue& queue : gpu.queues) queue.input_dirty.store(true);
      }
    }
    // The generation keeps counting across the switch (it is not restarted
    // at 0): results of the old threads that are still queued must never
    // match a job published after the switch.
    core::mining_job parked = job;
    parked.idle = true;
    for (size_t i = 0; i < threads_.size(); ++i) threads_[i] = make_thread(i, parked);
  } else if (!job.idle) {
    // Same setting: no lookup next time.
    for (GpuContext& gpu : devices_) gpu.setup_algorithm = job.algorithm;
  }
  publication_time_ms_.store(monotonic_ms());
  {
    std::lock_guard<std::mutex> job_lock(job_mutex_);
    current_job_ = job;
    job_generation_.fetch_add(1);
  }
  if (options_.fast_job_switch) {
    for (size_t i = 0; i < threads_.size(); ++i)
      for (GpuQueue& queue : devices_[i].queues) SetAbortFlag(queue, true);
  }
}

void gpu_miner::TakeJob(mine_thread& t) {
  {
    std::lock_guard<std::mutex> lock(job_mutex_);
    t.job = current_job_;
    t.generation = job_generation_.load();
  }
  t.refused.store(t.failed_algorithm >= 0 && t.job.algorithm == t.failed_algorithm);
  if (t.job.idle) return;
  uint64_t start = t.job.nonce_base;
  const uint32_t slot = options_.nonces.first + t.number;
  if (t.job.nicehash) {
    // The pool owns the top byte: the threads split the low 24 bits.
    start += static_cast<uint64_t>(16777216u / thread_total_) * slot;
  } else {
    t.job.blob[42] = static_cast<uint8_t>(slot ^ random_top_byte_);
  }
  t.gpu->nonce_counter = start;
  for (GpuQueue& queue : t.gpu->queues) queue.input_dirty.store(true);
  if (t.round_lowered) {
    // A round of the previous job overflowed; this job starts at full size.
    for (int q = 0; q < kMaxQueues; ++q) t.gpu->queues[q].threads = t.full_hashes[q];
    t.round_lowered = false;
  }
  if (!verify_algorithm(t)) t.job.idle = true;  // park until another job arrives
}

bool gpu_miner::verify_algorithm(mine_thread& t) {
  if (t.job.algorithm == t.failed_algorithm) return false;
  if (options_.no_self_test || t.job.algorithm == t.tested_algorithm) return true;
  // The round's nonce counter is kept by the test; it is set again here so
  // the job starts where TakeJob put it.
  const uint64_t start = t.gpu->nonce_counter;
  const auto replaced = options_.self_test_answers.find(t.job.algorithm);
  const self_test_answer& answer =
      replaced != options_.self_test_answers.end() ? replaced->second : SelfTestAnswer(t.job.algorithm);
  const bool passed = RunSelfTest(*t.gpu, t.job.algorithm, answer);
  t.gpu->nonce_counter = start;
  if (passed) {
    t.tested_algorithm = t.job.algorithm;
    return true;
  }
  t.failed_algorithm = t.job.algorithm;
  t.refused.store(true);
  base::printer::inst().print_error("GPU%u self-test failed for %s: the device computes wrong hashes",
                                   t.gpu->ordinal, crypto::algorithm_name(t.job.algorithm));
  count_failed(t);
  return false;
}

void gpu_miner::count_failed(mine_thread& t) {
  if (t.counted_failed) return;
  t.counted_failed = true;
  if (failed_threads_.fetch_add(1) + 1 == thread_total_ && all_failed_) all_failed_();
}

void gpu_miner::park(mine_thread& t, const base::status& error) {
  t.parked = true;
  t.job.idle = true;
  t.refused.store(true);  // it refuses every job, which the benchmark reads
  {
    std::lock_guard<std::mutex> lock(errors_mutex_);
    if (t.number < device_errors_.size()) device_errors_[t.number] = error.message();
  }
  base::printer::inst().print_error("GPU%u is parked: %s", t.gpu->ordinal, error.message().c_str());
  count_failed(t);
}

std::string gpu_miner::device_error(size_t thread) const {
  std::lock_guard<std::mutex> lock(errors_mutex_);
  return thread < device_errors_.size() ? device_errors_[thread] : std::string();
}

bool gpu_miner::self_test_failed(size_t thread) const {
  return thread < threads_.size() && threads_[thread]->refused.load();
}

double gpu_miner::thread_cpu_share(size_t thread) const {
  if (thread >= threads_.size()) return 0.0;
  const uint64_t wall = threads_[thread]->wall_us.load();
  return wall == 0 ? 0.0 : static_cast<double>(threads_[thread]->cpu_us.load()) / static_cast<double>(wall);
}

bool gpu_miner::wait_for_work(mine_thread& t, uint64_t& last_report_ms) {
  while (t.job.idle) {
    while (t.running.load() && job_generation_.load() == t.generation) {
      std::this_thread::sleep_for(kIdlePoll);
      last_report_ms = monotonic_ms();
    }
    if (!t.running.load()) return false;
    TakeJob(t);
    last_report_ms = monotonic_ms();
  }
  return true;
}

bool gpu_miner::upload_if_dirty(mine_thread& t, int queue) {
  GpuQueue& q = t.gpu->queues[queue];
  if (!q.input_dirty.exchange(false)) return true;
  SetAbortFlag(q, false);
  // A failed upload has been printed; the queue keeps the job it had, and
  // every nonce it reports is checked against the job on the CPU. A job
  // whose height has no kernel cannot be mined at all: the thread waits
  // for the next job rather than run another height's code.
  const base::status s = SetGpuJob(*t.gpu, t.generation, t.job.blob, t.job.blob_length,
                                   t.job.target, static_cast<uint32_t>(t.job.algorithm), queue,
                                   t.job.height);
  if (s || q.kernels[q.main_kernel] != nullptr) return true;
  t.job.idle = true;
  return false;
}

void gpu_miner::report_results(mine_thread& t, int queue) {
  const GpuQueue& q = t.gpu->queues[queue];
  for (uint32_t value : round_results(q)) {
    core::gpu_result result;
    result.thread_index = t.number;
    result.nonce = (static_cast<uint32_t>(t.job.blob[42]) << 24) | value;
    result.sequence = q.job_generation;
    events_->post(core::executor_event(core::kFoundNonce, t.job.pool_id, result));
  }
  const uint32_t lost = lost_results(q);
  if (lost == 0) return;
  // So many hits per round (a very easy target) that the list overflowed:
  // smaller rounds for the rest of this job keep every hit in the list.
  core::lost_nonces record;
  record.thread_index = t.number;
  record.count = lost;
  record.found = q.results[kResultCountWord];
  record.hashes = q.threads;
  record.lowered_to = HashesAfterOverflow(q.threads, record.found);
  record.sequence = q.job_generation;
  for (int i = 0; i < kMaxQueues; ++i) {
    GpuQueue& each = t.gpu->queues[i];
    if (!t.round_lowered) t.full_hashes[i] = each.threads;
    each.threads = std::min(each.threads, record.lowered_to);
  }
  t.round_lowered = true;
  events_->post(core::executor_event(core::kLostNonces, t.job.pool_id, record));
}

void gpu_miner::report_hashes(mine_thread& t, uint64_t hashes, uint64_t& last_report_ms) {
  const uint64_t now = monotonic_ms();
  core::hash_report report;
  report.thread_index = t.number;
  report.hashes = static_cast<uint32_t>(hashes);
  report.generation = t.generation;
  report.milliseconds = static_cast<uint32_t>(now - last_report_ms);
  last_report_ms = now;
  events_->post(core::executor_event(core::kHashCount, t.job.pool_id, report));
}

bool gpu_miner::renew_context_if_due(mine_thread& t) {
  GpuContext& gpu = *t.gpu;
  const uint32_t limit = options_.height_builds_per_context;
  if (limit == 0 || gpu.heights == nullptr) return true;
  const uint64_t builds = gpu.heights->builds();
  if (builds < limit) return true;
  // The rounds still running belong to the job just replaced; a reset
  // drops their results, once per `limit` builds.
  wait_all_queues(t);
  base::printer::inst().print_leveled(
      base::kInfo, "GPU%u: renewing the OpenCL context after %llu cn/r kernel builds", gpu.ordinal,
      static_cast<unsigned long long>(builds));
  const base::status renewed = ReInitOpenCLGpu(gpu);
  if (!renewed) {
    park(t, renewed);
    return false;
  }
  for (GpuQueue& queue : gpu.queues) queue.input_dirty.store(true);
  return true;
}

void gpu_miner::wait_all_queues(mine_thread& t) {
  // The rounds waited for here are not reported; a failure has been printed.
  for (int q = 0; q < t.gpu->queue_count && q < kMaxQueues; ++q) static_cast<void>(WaitGpuQueue(*t.gpu, q));
}

void gpu_miner::hold_while_hot(mine_thread& t, uint64_t& last_report_ms) {
  wait_all_queues(t);
  while (t.running.load() && too_hot(t)) {
    std::this_thread::sleep_for(kIdlePoll);
    if (monotonic_ms() - last_report_ms >= 1000) report_hashes(t, 0, last_report_ms);
  }
}

void gpu_miner::WorkLoop(mine_thread& t) {
  const auto wall_start = std::chrono::steady_clock::now();
  if (t.parked)
    return;
  else if (t.gpu->queue_count >= 2)
    loop_two_queues(t);
  else
    loop_one_queue(t);
  wait_all_queues(t);
  timespec cpu = {};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
  t.cpu_us.store(static_cast<uint64_t>(cpu.tv_sec) * 1000000 + static_cast<uint64_t>(cpu.tv_nsec) / 1000);
  t.wall_us.store(static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                            std::chrono::steady_clock::now() - wall_start)
                                            .count()));
}

void gpu_miner::loop_one_queue(mine_thread& t) {
  uint64_t last_report_ms = monotonic_ms();
  while (t.running.load()) {
    if (t.job.idle) {
      if (!wait_for_work(t, last_report_ms)) return;
      continue;
    }
    if (too_hot(t)) {
      hold_while_hot(t, last_report_ms);
      continue;
    }
    if (job_generation_.load() != t.generation) {
      if (!renew_context_if_due(t)) return;
      TakeJob(t);
      continue;
    }
    if (!upload_if_dirty(t, 0)) continue;
    const uint64_t round_hashes = t.gpu->queues[0].threads;  // report_results may lower it
    // A round that failed (printed) has no valid results to report.
    const bool ran = RunGpuRound(*t.gpu, 0).is_ok();
    if (WaitGpuQueue(*t.gpu, 0) && ran) report_results(t, 0);
    report_hashes(t, round_hashes, last_report_ms);
  }
}

void gpu_miner::loop_two_queues(mine_thread& t) {
  GpuContext& gpu = *t.gpu;
  const bool fast_switch = options_.fast_job_switch;
  uint64_t last_report_ms = monotonic_ms();
  uint64_t c = 0;
  // Pacing: keep queue 1's launch between 15 % and 52 % (70 % for 1 MiB
  // algorithms) of a cycle after queue 0's.
  uint64_t cycle = 1000;
  double ratio = 0.25;
  int high = 0, low = 0;
  uint64_t last_launch = monotonic_ms();
  uint64_t hash_sum = 0;
  bool launched[kMaxQueues] = {true, true};  // whether each queue's last round was enqueued
  const auto reset_pacing = [&] {
    cycle = 1000;
    ratio = 0.25;
    high = 0;
    low = 0;
  };

  while (t.running.load()) {
    if (t.job.idle) {
      if (c != 0) wait_all_queues(t);
      if (!wait_for_work(t, last_report_ms)) return;
      c = 0;
      hash_sum = 0;
      reset_pacing();
      continue;
    }
    if (too_hot(t)) {
      hold_while_hot(t, last_report_ms);
      c = 0;
      hash_sum = 0;
      reset_pacing();
      continue;
    }
    if (job_generation_.load() != t.generation) {
      if (!renew_context_if_due(t)) return;
      TakeJob(t);
      reset_pacing();
      if (fast_switch) {
        c &= ~uint64_t{1};
        wait_all_queues(t);
      }
      continue;
    }

    const int h = static_cast<int>(c % 2);
    if (fast_switch && c > 2 && gpu.queues[h].input_dirty.load() && AbortFlag(gpu.queues[0]) &&
        AbortFlag(gpu.queues[1])) {
      base::printer::inst().print_leveled(base::kInfo, "GPU%i: %u ms needed to switch to new job",
                                         static_cast<int>(gpu.ordinal),
                                         static_cast<unsigned>(monotonic_ms() - publication_time_ms()));
    }
    if (!upload_if_dirty(t, h)) continue;

    // The 1 MiB pacing serves every pad below 2 MiB (the 256 and 128 KiB
    // algorithms are lighter still).
    const bool light = crypto::scratchpad_size(t.job.algorithm) < crypto::kScratchpadNormal;
    uint64_t now = monotonic_ms();
    if (h == 0) {
      cycle = now - last_launch;
      last_launch = now;
      if (ratio > (light ? 0.70 : 0.52)) {
        if (++high > 2) {
          high = 0;
          sleep_ms(static_cast<uint64_t>(static_cast<double>(cycle) * 0.19));
        }
      } else {
        high = 0;
      }
    } else if (cycle > 0 && now - last_launch <= cycle) {
      ratio = static_cast<double>(now - last_launch) / static_cast<double>(cycle);
    }

    launched[h] = RunGpuRound(gpu, h).is_ok();

    if (h == 0) {
      if (ratio < 0.15) {
        if (++low > (fast_switch ? 4 : 2)) {
          low = 0;
          const uint32_t size = crypto::scratchpad_size(t.job.algorithm);
          const double factor = size < crypto::kScratchpadNormal   ? 0.20
                                : size == crypto::kScratchpadHeavy ? 0.25
                                                                   : 0.15;
          sleep_ms(static_cast<uint64_t>(static_cast<double>(cycle) * factor));
        }
      } else {
        low = 0;
      }
    }

    ++c;
    const int b = static_cast<int>(c % 2);
    // A round that failed (printed) has no valid results to report.
    const bool valid = WaitGpuQueue(gpu, b).is_ok() && launched[b];
    GpuQueue& done = gpu.queues[b];
    if (c > 2 && valid && (!fast_switch || !AbortFlag(done))) report_results(t, b);

    if (!fast_switch) {
      if (b == 0) report_hashes(t, gpu.queues[0].threads + gpu.queues[1].threads, last_report_ms);
    } else {
      hash_sum += (AbortFlag(done) && c > 2) ? done.threads / 2 : done.threads;
      if (b == 0) {
        report_hashes(t, hash_sum, last_report_ms);
        hash_sum = 0;
      }
    }
    base::status reset;
    if (b == 1 && options_.rate_watchdog &&
        CheckHashRate(gpu, t.watchdog_countdown, t.low_count, rates_->current_rate(t.number),
                      rates_->average_rate(t.number), reset)) {
      if (!reset) {
        park(t, reset);
        return;
      }
      last_launch = monotonic_ms();
      ratio = 0.25;
    }
  }
}

}  // namespace gpu
