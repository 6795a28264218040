// The executor: the one coordinator between the pool connections and the
// mining threads. Other threads hand it work only through post(); every
// decision about jobs, results, pools and statistics is taken on its own
// thread, one event at a time. The counters and rates it keeps are atomics
// so the statistics server and the watchdog read them without a lock.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "core/event_queue.h"
#include "core/hash_meter.h"
#include "core/mining_backend.h"
#include "core/pool_options.h"
#include "core/statistics.h"
#include "core/work_records.h"
#include "crypto/algorithm.h"
#include "crypto/cryptonight.h"
#include "net/jpsock.h"
#include "remote/stats_source.h"

namespace core {

// Everything the executor is configured with, fixed at construction: the
// pools and how to mine them, and the timings and endpoints of the pool
// handling. The program fills the first part from its configuration and
// keeps the default timings; tests shorten them to run reconnects and
// donation cycles fast.
struct executor_settings {
  // The user's pools in priority order; at least one.
  std::vector<pool_options> pools = {pool_options()};
  bool nicehash = true;                          // the user pools' nonce split
  int32_t algorithm = crypto::kAlgoAutoDetect;   // the configured algorithm
  size_t gpu_count = 1;                          // rows of the hash meter
  // Failed rounds over the list before giving up; 0 or negative: never.
  int32_t max_reconnects = 100;
  uint32_t retry_delay_s = 20;   // after a failed round
  int32_t primary_retry_s = 60;  // higher pools tried again while a lower one is mined
  int32_t keepalive_s = 60;      // idle seconds before a keep-alive, 0 = off

  // Timings and endpoints.
  std::string dev_hosts[2] = {"127.0.0.1", "127.0.0.2"};  // primary, alternative
  // When set, every donation connection uses this port instead of the
  // port chosen by algorithm.
  std::string dev_port_override;
  std::chrono::nanoseconds tick = std::chrono::milliseconds(500);
  uint64_t donation_period_ticks = 6600;  // 3300 s
  double donation_share = 0.015;
  std::chrono::milliseconds reply_timeout = std::chrono::seconds(20);
  // Called on the executor thread when the pool cannot be reached within
  // the configured attempts; the program ends the process with code 1.
  std::function<void()> give_up;
  // Ticks between two housekeeping rounds (request time-outs, keep-alives).
  uint64_t housekeeping_ticks = 2;
  // The time the timer ticks, request time-outs, keep-alives and the
  // statistics read; tests move their own. Must outlive the executor.
  const base::clock* clock = &base::system_clock();
};

class executor : public network::StatsSource, public hash_rate_source, private net::pool_listener {
 public:
  // hasher: the CPU hash that checks every found nonce (made with
  // crypto::CryptoNight::create, so its allocation failure is the caller's
  // to report); not null.
  executor(mining_backend& miner, executor_settings settings,
           std::unique_ptr<crypto::CryptoNight> hasher);
  ~executor() override;
  executor(const executor&) = delete;
  executor& operator=(const executor&) = delete;

  // Starts the executor loop on a new thread.
  void start();
  // Posts stop, then joins the timer thread and the executor thread.
  void stop();
  // Any thread.
  void post(executor_event event) { events_.post(std::move(event)); }
  // Posts the event after the given number of seconds (timer ticks). Any thread.
  void post_after(executor_event event, double seconds);
  // Main thread, before "quitting..." is printed: from now on the executor
  // prints no share, job or rate lines (results are still counted), so the
  // exit line stays whole. Waits until the executor thread has taken this
  // in, at most a second (it may be blocked in a login).
  void begin_exit();

  // hash_rate_source: any thread.
  double current_rate(size_t thread) const override { return meter_.current_rate(thread); }
  double average_rate(size_t thread) const override { return meter_.average_rate(thread); }

  // Everything the report, /stats.json and /metrics show, read once. Any
  // thread.
  statistics_snapshot snapshot() const;
  // StatsSource: any thread; each renders one snapshot.
  std::string stats_json() const override;
  std::string metrics_text() const override;

  // Console texts; executor thread only (public for tests).
  std::string share_line() const;
  std::string report_text() const;
  std::string gpu_line(size_t thread, double rate) const;
  // A thread's device name in /stats.json and /metrics.
  std::string document_name(size_t thread) const;

  // Figures, readable from any thread.
  uint32_t accepted() const { return accepted_.load(); }
  uint32_t invalid() const { return invalid_.load(); }
  uint32_t rejected() const { return rejected_.load(); }
  uint32_t outdated() const { return outdated_.load(); }
  uint32_t network_fail() const { return network_fail_.load(); }
  // Nonces the GPUs found but could not report (a result list overflowed).
  uint32_t lost() const { return lost_.load(); }
  uint64_t active_pool() const { return active_pool_.load(); }
  // Full rounds over the pool list that failed since the last login.
  uint64_t connect_attempts() const { return connect_attempts_.load(); }
  uint32_t job_count() const { return job_count_.load(); }
  const hash_meter& meter() const { return meter_; }
  // The user pool being mined (or being connected to).
  net::jpsock* user_pool() const { return pools_[active_user_.load()].get(); }
  size_t active_user_index() const { return active_user_.load(); }
  // Shares the pool of the list at `index` accepted.
  uint32_t pool_accepted(size_t index) const { return pool_stats_.at(index)->accepted.load(); }

  // Executor thread (public for tests): the algorithm a job is mined with.
  int32_t select_algorithm(const job_record& job) const;
  // The donation port for the algorithm of the published job.
  static const char* dev_port_for(int32_t algorithm);
  // Ticks of one donation (0 when the share is 0).
  uint64_t donation_length_ticks() const;

 private:
  struct timed_event {
    executor_event event;
    uint64_t ticks_left;
  };

  // pool_listener: the pools' reports become events in the queue, in the
  // order they are made. Connection threads.
  void on_ready(uint64_t pool_id) override { post(executor_event(kSocketReady, pool_id)); }
  void on_error(uint64_t pool_id, base::status error) override {
    post(executor_event(kSocketError, pool_id, std::move(error)));
  }
  void on_job(uint64_t pool_id, const job_record& job) override { post(executor_event(kNewJob, pool_id, job)); }
  void on_share_answered(uint64_t pool_id, share_result result) override {
    post(executor_event(kShareResult, pool_id, std::move(result)));
  }

  net::pool_listener& pool_reports() { return *this; }

  void loop();
  void timer_loop();
  void dispatch(executor_event& event);

  // Jobs and results.
  void on_new_job(uint64_t pool_id, const job_record& job);
  // True when the result's outcome is final now (else its submit's answer
  // comes as a share_result event).
  bool on_found_nonce(uint64_t pool_id, const gpu_result& result);
  void on_share_result(uint64_t pool_id, const share_result& result);
  void on_hash_count(const hash_report& report);
  void on_lost_nonces(uint64_t pool_id, const lost_nonces& lost);
  void on_stop();

  // Pools and donation.
  void on_reconnect(uint64_t pool_id);
  void on_socket_ready(uint64_t pool_id);
  void on_socket_error(uint64_t pool_id, const base::status& error);
  void on_switch_pool(uint64_t target);
  void on_close_dev_pool();
  void on_probe_primary(uint64_t serial);
  void on_housekeeping();
  // The pool at `index` of the list: connect, and what to do when it fails.
  void connect_user_pool(size_t index);
  // Starts connecting that pool; the failure, also recorded for the
  // statistics, when it is refused before connecting.
  base::status open_pool(size_t index);
  void start_probe(size_t index);
  void active_pool_failed();
  void probe_failed();
  void schedule_probe();
  void connection_failed();
  bool is_user_pool(uint64_t pool_id) const { return pool_id >= kPoolUser && pool_id - kPoolUser < pools_.size(); }
  size_t index_of(uint64_t pool_id) const { return static_cast<size_t>(pool_id - kPoolUser); }
  uint64_t active_user_id() const { return kPoolUser + active_user_.load(); }
  void record_pool_error(size_t index, const std::string& text);
  bool connect_dev_pool(int endpoint);
  void publish(const mining_job& job);
  // The work for a pool's job, with the algorithm chosen for it.
  mining_job work_from(const job_record& job, uint64_t pool_id, uint32_t nonce_base) const;

  // Statistics.
  void print_gpu_line(size_t thread);
  void print_share_line();
  void print_report();

  mining_backend& miner_;
  executor_settings settings_;
  // The job last handed to the miner (executor thread only): what results
  // are checked against and what an idle or donation job keeps the
  // algorithm of. The executor keeps it rather than reading it back.
  mining_job published_;

  std::atomic<bool> executor_running_{true};
  std::thread executor_thread_;
  std::thread timer_thread_;
  std::unique_ptr<crypto::CryptoNight> hasher_;  // executor thread only

  // The timer thread waits on timer_signal_ between ticks; stop wakes it.
  std::mutex timer_mutex_;
  std::condition_variable timer_signal_;

  std::mutex timed_mutex_;  // taken before the queue's mutex
  std::list<timed_event> timed_events_;  // guarded by timed_mutex_

  event_queue events_;
  hash_meter meter_;

  // The pools: the user's list in priority order (ids kPoolUser + index),
  // created once, so other threads may read them; and the donation pool.
  // active_pool_ is the id being mined: a user pool's or kPoolDonation.
  std::atomic<uint64_t> active_pool_{kPoolUser};
  std::atomic<size_t> active_user_{0};
  int dev_endpoint_ = -1;  // executor thread only
  std::vector<std::unique_ptr<net::jpsock>> pools_;
  std::unique_ptr<net::jpsock> dev_pool_;
  std::atomic<uint64_t> connect_attempts_{0};
  // Executor thread only: pools of the list that failed in this round, the
  // higher pool tried on a second connection while a lower one is mined
  // (npos: none), and the serial that makes older probe timers stale.
  size_t failed_in_round_ = 0;
  static constexpr size_t kNoProbe = static_cast<size_t>(-1);
  size_t probing_ = kNoProbe;
  uint64_t probe_serial_ = 0;
  uint64_t housekeeping_countdown_ = 0;  // timer thread only

  struct pool_stats {
    std::atomic<uint32_t> accepted{0};
    std::atomic<uint32_t> rejected{0};
    std::atomic<uint32_t> invalid{0};
    std::atomic<uint32_t> network_fail{0};
    std::atomic<uint32_t> outdated{0};
    std::atomic<uint32_t> lost{0};
    mutable std::mutex mutex;
    std::string last_error;  // guarded by mutex
  };
  std::vector<std::unique_ptr<pool_stats>> pool_stats_;  // one per pool of the list
  // One outcome, counted in `total` and, for a pool of the list, in its own
  // counter `field`.
  static void count(std::atomic<uint32_t>& total, std::atomic<uint32_t> pool_stats::*field, pool_stats* stats) {
    total.fetch_add(1);
    if (stats != nullptr) (stats->*field).fetch_add(1);
  }
  std::vector<pool_options> pool_configs_;  // the list, fixed at construction
  std::atomic<bool> exiting_{false};  // set on the executor thread by kQuiet

  std::atomic<uint32_t> accepted_{0};
  std::atomic<uint32_t> invalid_{0};
  std::atomic<uint32_t> rejected_{0};
  std::atomic<uint32_t> outdated_{0};
  std::atomic<uint32_t> network_fail_{0};
  std::atomic<uint32_t> lost_{0};
  std::atomic<uint64_t> difficulty_{0};
  std::atomic<int64_t> job_start_;  // 100-ns ticks
  std::atomic<uint32_t> job_count_{0};
  std::atomic<double> search_time_avg_{0.0};
  std::atomic<double> job_time_avg_{0.0};
};

}  // namespace core
