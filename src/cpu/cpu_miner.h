// The CPU backend: mining threads pinned one per core, each hashing with the
// project's CPU hash in its own scratchpad memory (huge pages where the
// system gives them). cpu_miner implements core::backend; its calls come
// from the main thread or the executor thread, as the interface says.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/backend.h"
#include "core/event_queue.h"
#include "core/work_records.h"
#include "cpu/platform.h"
#include "cpu/topology.h"
#include "cpu/ways_store.h"

namespace cpu {

// --cpu-threads auto.
constexpr int32_t kAutoThreads = -1;

struct cpu_options {
  int32_t threads = kAutoThreads;  // mining threads, or kAutoThreads
  int32_t algorithm = -1;          // the configured one (sizes auto), -1 detect
  // The threads' nonce slots; `first` is also the executor's index of the
  // first CPU thread (CPU threads follow the GPUs in its list).
  core::nonce_slots nonces;
  bool huge_pages = true;          // ask for huge pages (else normal pages)
  bool pin_threads = true;         // one thread per core, bound to it
  std::string sysfs_root = "/sys"; // topology and hwmon sensors
  bool own_affinity = true;        // only the cores the process may run on
  double temp_limit_c = 0;         // pause every thread this hot, 0 = off
  double temp_resume_c = 0;        // resume when this cool again
  int32_t ways = 0;                // hashes interleaved per thread, 0 = per algorithm
  std::string ways_store;          // the measured ways (ways_store.h), empty = none
  double tune_seconds = 3.0;       // --autotune: measuring time per candidate
};

// The hashes a thread interleaves for an algorithm that --autotune has not
// measured yet, on a core with this share of the last-level cache.
int default_ways(int32_t algorithm, uint64_t cache_share);

// The thread count the options ask for on this topology: auto resolved,
// a count beyond the cores clamped to them (`note` then says so).
uint32_t resolve_thread_count(const cpu_options& options, const topology& t, std::string& note);

// The topology below options.sysfs_root; without one, each logical CPU the
// process may use counts as a core with no known cache.
topology read_topology_or_guess(const cpu_options& options);

class cpu_miner : public core::backend {
 public:
  explicit cpu_miner(const cpu_options& options) : options_(options) {}
  ~cpu_miner() override { stop(); }

  // Reads the topology, takes the scratchpad memory of every thread and
  // prints the start line (threads, cores, pages).
  base::status init_devices() override;
  // Measures each algorithm (every one for -1) on all threads with one to
  // four interleaved hashes, prints the rates and stores the fastest count.
  base::status autotune(int32_t algorithm) override;
  void set_all_failed_handler(std::function<void()>) override {}
  // The CPU hash is the reference every device is checked against.
  bool self_test_enabled() const override { return false; }
  bool self_test_failed(size_t) const override { return false; }
  double thread_cpu_share(size_t thread) const override;
  void shutdown() override {}

  void start(const core::mining_job& initial, core::event_queue& events,
             const core::hash_rate_source& rates) override;
  void publish(const core::mining_job& job) override;
  void stop() override;
  uint64_t generation() const override { return generation_.load(); }
  size_t thread_count() const override { return threads_.size(); }
  uint32_t device_number(size_t thread) const override { return static_cast<uint32_t>(thread); }
  std::string device_name(size_t thread) const override { return "CPU" + std::to_string(thread); }
  core::device_reading read_device(size_t thread) const override;

  // After init_devices: the threads that will run and their memory's pages.
  uint32_t planned_threads() const { return static_cast<uint32_t>(memory_.size()); }
  // The hashes the threads interleave for an algorithm.
  int ways_for(int32_t algorithm) const;
  page_kind pages() const { return pages_; }

 private:
  struct worker {
    size_t number = 0;  // position among the CPU threads
    uint32_t cpu = 0;   // logical CPU it is pinned to
    std::thread thread;
    std::atomic<bool> running{true};
    std::atomic<uint64_t> cpu_us{0};
    std::atomic<uint64_t> wall_us{0};
  };

  void work_loop(worker& w);
  // Blocks while there is no job to mine, or the package is too hot;
  // false once the thread is stopped. Hands back the job to mine.
  bool wait_for_job(worker& w, core::mining_job& job, uint64_t& generation);
  // The temperature guard: whether the threads must pause now.
  bool too_hot();

  // Hash rate of all threads over `seconds` of a synthetic job.
  double measure(int32_t algorithm, double seconds);

  const cpu_options options_;
  topology topology_;
  std::map<int32_t, ways_entry> stored_ways_;  // from the store, at init_devices
  std::atomic<int> forced_ways_{0};            // the candidate --autotune measures
  std::vector<pad_memory> memory_;  // one per thread, from init_devices
  page_kind pages_ = page_kind::normal;
  core::event_queue* events_ = nullptr;
  uint8_t top_byte_key_ = 0;
  uint32_t slot_total_ = 1;

  mutable std::mutex job_mutex_;
  std::condition_variable job_changed_;
  core::mining_job current_job_;     // guarded by job_mutex_
  std::atomic<uint64_t> generation_{0};
  std::atomic<bool> stopping_{false};

  std::mutex guard_mutex_;
  uint64_t guard_checked_ms_ = 0;    // guarded by guard_mutex_
  float temperature_c_ = -1.0f;      // guarded by guard_mutex_
  std::atomic<bool> paused_{false};
  std::atomic<float> last_temperature_c_{-1.0f};

  std::vector<std::unique_ptr<worker>> threads_;  // main or executor thread only
};

}  // namespace cpu
