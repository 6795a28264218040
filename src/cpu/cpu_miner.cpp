#include "cpu/cpu_miner.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <variant>
#include <vector>

#include "base/printer.h"
#include "crypto/algorithm.h"
#include "crypto/cryptonight.h"
#include "crypto/cryptonight_ways.h"

namespace cpu {
namespace {

// Largest thread list the executor can address (its index is one byte).
constexpr uint32_t kMaxThreads = 255;
constexpr uint32_t kNonceSpan = 1u << 24;  // low bits the threads share in nicehash mode
constexpr uint64_t kReportMs = 500;
constexpr auto kIdleWait = std::chrono::milliseconds(1000);
constexpr auto kHotWait = std::chrono::milliseconds(100);

uint64_t monotonic_ms() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

// The scratchpad size the thread count is chosen for: the configured
// algorithm's, else the common 2 MiB.
uint64_t planned_scratchpad(int32_t algorithm) {
  return algorithm >= 0 ? crypto::scratchpad_size(algorithm) : crypto::kScratchpadNormal;
}

}  // namespace

int default_ways(int32_t algorithm, uint64_t cache_share) {
  if (!crypto::ways_supported(algorithm)) return 1;
  // Two hashes in turn measured faster than one while both scratchpads stay
  // in the core's cache share: base-loop rows by CPU time (crypto_bench
  // BM_HashWays), and cn/2 on a quiet 2-core machine with 2 threads at 162
  // H/s against 114 with one way (scripts/bench-cpu, WAYS=1; 3 ways 167).
  // --autotune measures the real answer.
  const crypto::algorithm_info& info = crypto::kAlgorithms[algorithm];
  if (info.loop != crypto::loop_family::base && info.loop != crypto::loop_family::v8) return 1;
  return cache_share >= 2 * uint64_t{info.scratchpad} ? 2 : 1;
}

uint32_t resolve_thread_count(const cpu_options& options, const topology& t, std::string& note) {
  note.clear();
  const uint32_t cores = std::max<uint32_t>(static_cast<uint32_t>(t.cores.size()), 1);
  const uint32_t limit = std::min(cores, kMaxThreads - std::min(options.nonces.first, kMaxThreads - 1));
  if (options.threads == kAutoThreads)
    return std::min(auto_thread_count(t, planned_scratchpad(options.algorithm)), limit);
  const uint32_t asked = options.threads < 0 ? 0u : static_cast<uint32_t>(options.threads);
  if (asked <= limit) return asked;
  note = "--cpu-threads " + std::to_string(asked) + " is more than the " + std::to_string(limit) +
         " cores here: mining with " + std::to_string(limit) + " CPU threads";
  return limit;
}

topology read_topology_or_guess(const cpu_options& options) {
  topology t;
  if (read_topology(options.sysfs_root, t).is_ok() && !t.cores.empty()) {
    if (options.own_affinity) keep_allowed_cpus(t, allowed_cpus());
    if (!t.cores.empty()) return t;
  }
  t.cores.clear();
  const uint32_t count = std::max(std::thread::hardware_concurrency(), 1u);
  for (uint32_t i = 0; i < count; ++i) t.cores.push_back(core_info{i, 0, {i}});
  return t;
}

base::status cpu_miner::init_devices() {
  base::printer& out = base::printer::inst();
  topology_ = read_topology_or_guess(options_);
  std::string note;
  const uint32_t count = resolve_thread_count(options_, topology_, note);
  if (!note.empty()) out.print_leveled(base::kInfo, "%s", note.c_str());
  memory_.clear();
  memory_.resize(count);
  pages_ = page_kind::hugetlb;
  for (uint32_t i = 0; i < count; ++i) {
    if (base::status s = pad_memory::allocate(crypto::kWayStride * crypto::kMaxWays, options_.huge_pages, memory_[i]); !s) {
      out.print_error("CPU%u: %s", i, s.message().c_str());
      memory_.clear();
      return s;
    }
    // The line names the weakest backing any thread got.
    if (static_cast<int>(memory_[i].kind()) < static_cast<int>(pages_)) pages_ = memory_[i].kind();
  }
  if (count == 0) pages_ = page_kind::normal;
  stored_ways_ = load_ways(options_.ways_store, ways_owner(count));
  std::string cpus;
  for (uint32_t i = 0; i < count; ++i)
    cpus += (i == 0 ? "" : ",") + std::to_string(topology_.cores[i % topology_.cores.size()].first_cpu);
  out.print_leveled(base::kInfo, "CPU: %u mining thread%s on %zu core%s (CPUs %s), scratchpads in %s%s", count,
                    count == 1 ? "" : "s", topology_.cores.size(), topology_.cores.size() == 1 ? "" : "s",
                    cpus.c_str(), page_kind_name(pages_),
                    options_.huge_pages && pages_ == page_kind::normal ? " (huge pages not given)" : "");
  return base::status::ok();
}

int cpu_miner::ways_for(int32_t algorithm) const {
  if (const int forced = forced_ways_.load(); forced > 0) return forced;
  if (options_.ways > 0) return std::min(options_.ways, crypto::kMaxWays);
  const auto found = stored_ways_.find(algorithm);
  if (found != stored_ways_.end() && (found->second.ways == 1 || crypto::ways_supported(algorithm)))
    return found->second.ways;
  const uint64_t share = topology_.cores.empty() ? 0 : topology_.cores.front().cache_share;
  return default_ways(algorithm, share);
}

double cpu_miner::measure(int32_t algorithm, double seconds) {
  core::event_queue events;
  core::no_hash_rates rates;
  core::mining_job job;
  job.blob_length = 76;
  for (uint32_t i = 0; i < job.blob_length; ++i) job.blob[i] = static_cast<uint8_t>(i * 29 + 7);
  job.algorithm = algorithm;
  job.nicehash = true;
  job.target = 0;  // no hash is a share
  start(core::idle_job(core::kPoolNone, algorithm), events, rates);
  publish(job);
  const uint64_t generation = generation_.load();
  std::vector<uint64_t> hashes(threads_.size()), ms(threads_.size());
  const auto begin = std::chrono::steady_clock::now();
  // The threads report every kReportMs: a shorter run would see nothing.
  const auto end = begin + std::chrono::duration<double>(std::max(seconds, 2.5 * kReportMs / 1000.0));
  while (std::chrono::steady_clock::now() < end) {
    auto event = events.take_for(std::chrono::milliseconds(100));
    if (!event || event->kind != core::kHashCount) continue;
    const core::hash_report& report = std::get<core::hash_report>(event->payload);
    const size_t thread = report.thread_index - options_.nonces.first;
    if (thread >= hashes.size() || report.generation != generation) continue;
    hashes[thread] += report.hashes;
    ms[thread] += report.milliseconds;
  }
  stop();
  double rate = 0.0;
  for (size_t i = 0; i < hashes.size(); ++i)
    if (ms[i] != 0) rate += static_cast<double>(hashes[i]) * 1000.0 / static_cast<double>(ms[i]);
  return rate;
}

base::status cpu_miner::autotune(int32_t algorithm) {
  base::printer& out = base::printer::inst();
  std::vector<int32_t> ids;
  for (int32_t id = 0; id < crypto::kAlgoCount; ++id)
    if (algorithm < 0 || id == algorithm) ids.push_back(id);
  const std::string owner = ways_owner(planned_threads());
  std::map<int32_t, ways_entry> entries = load_ways(options_.ways_store, owner);
  bool measured = false;
  for (int32_t id : ids) {
    const int most = crypto::ways_supported(id) ? crypto::kMaxWays : 1;
    ways_entry best;
    std::string line;
    for (int ways = 1; ways <= most; ++ways) {
      forced_ways_.store(ways);
      const double rate = measure(id, options_.tune_seconds);
      char cell[48];
      std::snprintf(cell, sizeof(cell), "%s%d way%s %.1f H/s", ways == 1 ? "" : ", ", ways, ways == 1 ? "" : "s",
                    rate);
      line += cell;
      if (rate > best.hash_rate) best = ways_entry{ways, rate};
    }
    forced_ways_.store(0);
    if (best.hash_rate <= 0.0) {
      out.print_error("CPU autotune %s: no hash rate could be measured", crypto::algorithm_name(id));
      continue;
    }
    measured = true;
    entries[id] = best;
    out.print_leveled(base::kInfo, "CPU autotune %s: %s -> %d", crypto::algorithm_name(id), line.c_str(), best.ways);
  }
  if (!measured) return base::status::error(base::status_code::kNotFound, "CPU autotune: no hash rate could be measured");
  stored_ways_ = entries;
  if (base::status s = store_ways(options_.ways_store, owner, entries); !s) {
    out.print_error("CPU autotune: the measured ways are not stored: %s", s.message().c_str());
  }
  return base::status::ok();
}

double cpu_miner::thread_cpu_share(size_t thread) const {
  if (thread >= threads_.size()) return 0.0;
  const uint64_t wall = threads_[thread]->wall_us.load();
  return wall == 0 ? 0.0 : static_cast<double>(threads_[thread]->cpu_us.load()) / static_cast<double>(wall);
}

core::device_reading cpu_miner::read_device(size_t) const {
  core::device_reading readings;
  // With the guard on, its last reading; else a reading now (the
  // statistics ask every few seconds).
  readings.temperature_c =
      options_.temp_limit_c > 0 ? last_temperature_c_.load() : package_temperature(options_.sysfs_root);
  readings.paused = paused_.load();
  readings.has_fan = false;
  return readings;
}

void cpu_miner::start(const core::mining_job& initial, core::event_queue& events, const core::hash_rate_source&) {
  events_ = &events;
  threads_.clear();  // joined by the stop() before this start, if any
  {
    std::lock_guard<std::mutex> lock(job_mutex_);
    current_job_ = initial;
    generation_.store(0);
  }
  stopping_.store(false);
  if (options_.nonces.key >= 0) {
    top_byte_key_ = static_cast<uint8_t>(options_.nonces.key);
  } else {
    std::random_device random;
    top_byte_key_ = static_cast<uint8_t>(random() >> 24);
  }
  slot_total_ = std::max<uint32_t>(options_.nonces.total, options_.nonces.first + planned_threads());
  if (options_.temp_limit_c > 0 && package_temperature(options_.sysfs_root) < 0) {
    base::printer::inst().print_error("CPU has no package temperature sensor: --temp-limit %.0f does not protect it",
                                      options_.temp_limit_c);
  }
  for (size_t i = 0; i < memory_.size(); ++i) {
    auto w = std::make_unique<worker>();
    w->number = i;
    w->cpu = topology_.cores.empty() ? 0 : topology_.cores[i % topology_.cores.size()].first_cpu;
    worker* raw = w.get();
    w->thread = std::thread([this, raw] { work_loop(*raw); });
    threads_.push_back(std::move(w));
  }
}

void cpu_miner::publish(const core::mining_job& job) {
  {
    std::lock_guard<std::mutex> lock(job_mutex_);
    current_job_ = job;
    generation_.fetch_add(1);
  }
  job_changed_.notify_all();
}

void cpu_miner::stop() {
  {
    std::lock_guard<std::mutex> lock(job_mutex_);
    stopping_.store(true);
    for (auto& w : threads_) w->running.store(false);
  }
  job_changed_.notify_all();
  for (auto& w : threads_)
    if (w->thread.joinable()) w->thread.join();
}

bool cpu_miner::too_hot() {
  if (options_.temp_limit_c <= 0) return false;
  std::lock_guard<std::mutex> lock(guard_mutex_);
  const uint64_t now = monotonic_ms();
  if (guard_checked_ms_ != 0 && now - guard_checked_ms_ < 1000) return paused_.load();
  guard_checked_ms_ = now;
  temperature_c_ = package_temperature(options_.sysfs_root);
  last_temperature_c_.store(temperature_c_);
  if (temperature_c_ < 0) return paused_.load();  // no reading: a paused CPU stays paused
  base::printer& out = base::printer::inst();
  if (!paused_.load() && temperature_c_ >= options_.temp_limit_c) {
    paused_.store(true);
    out.print_leveled(base::kEvent, "CPU: %.0f\u00b0C reached the limit, paused", temperature_c_);
  } else if (paused_.load() && temperature_c_ <= options_.temp_resume_c) {
    paused_.store(false);
    out.print_leveled(base::kEvent, "CPU: %.0f\u00b0C, resumed", temperature_c_);
  }
  return paused_.load();
}

bool cpu_miner::wait_for_job(worker& w, core::mining_job& job, uint64_t& generation) {
  std::unique_lock<std::mutex> lock(job_mutex_);
  while (w.running.load()) {
    if (generation_.load() != generation) {
      job = current_job_;
      generation = generation_.load();
    }
    if (!job.idle) return true;
    job_changed_.wait_for(lock, kIdleWait, [&] { return !w.running.load() || generation_.load() != generation; });
  }
  return false;
}

void cpu_miner::work_loop(worker& w) {
  const auto wall_start = std::chrono::steady_clock::now();
  if (options_.pin_threads) {
    const base::status pinned = pin_current_thread(w.cpu);
    if (!pinned && w.number == 0) base::printer::inst().print_error("CPU: %s", pinned.message().c_str());
  }
  uint8_t* const areas = memory_[w.number].data();
  const uint8_t index = static_cast<uint8_t>(options_.nonces.first + w.number);
  const uint32_t slot = options_.nonces.first + static_cast<uint32_t>(w.number);
  core::mining_job job;
  uint64_t generation = ~uint64_t{0};
  uint8_t blobs[crypto::kMaxWays][core::kBlobSize] = {};
  uint8_t hashes_out[crypto::kMaxWays][32];
  const uint8_t* inputs[crypto::kMaxWays];
  uint8_t* outputs[crypto::kMaxWays];
  for (int i = 0; i < crypto::kMaxWays; ++i) {
    inputs[i] = blobs[i];
    outputs[i] = hashes_out[i];
  }
  // The reference hash over the same work areas, for the rows the
  // interleaved hash does not serve. Kept for the thread's life: a row
  // generated per height (cn/r) builds its program once per height there.
  std::unique_ptr<crypto::CryptoNight> references[crypto::kMaxWays];
  for (int i = 0; i < crypto::kMaxWays; ++i)
    references[i] = std::make_unique<crypto::CryptoNight>(areas + static_cast<size_t>(i) * crypto::kWayStride);
  int ways = 1;
  size_t length = 0;
  uint32_t counter = 0;
  uint64_t hashes = 0;
  uint64_t last_report_ms = monotonic_ms();

  const auto report = [&](uint64_t now) {
    core::hash_report r;
    r.thread_index = index;
    r.hashes = static_cast<uint32_t>(hashes);
    r.milliseconds = static_cast<uint32_t>(now - last_report_ms);
    r.generation = generation;
    events_->post(core::executor_event(core::kHashCount, job.pool_id, r));
    hashes = 0;
    last_report_ms = now;
  };

  while (w.running.load()) {
    // A new job is taken between two calls of the hash: within one hash
    // time (of the interleaved ones) of its publication.
    if (generation_.load(std::memory_order_acquire) != generation || job.idle) {
      if (hashes != 0) report(monotonic_ms());
      if (!wait_for_job(w, job, generation)) break;
      last_report_ms = monotonic_ms();
      length = std::min<size_t>(job.blob_length, core::kBlobSize);
      ways = ways_for(job.algorithm);
      for (int i = 0; i < crypto::kMaxWays; ++i) std::memcpy(blobs[i], job.blob, core::kBlobSize);
      counter = job.nonce_base;
      if (job.nicehash) {
        // The pool owns the top byte: the threads of every backend split the low 24 bits.
        counter += kNonceSpan / slot_total_ * slot;
      } else {
        for (int i = 0; i < crypto::kMaxWays; ++i) blobs[i][42] = static_cast<uint8_t>(slot ^ top_byte_key_);
      }
      continue;
    }
    if (too_hot()) {
      std::unique_lock<std::mutex> lock(job_mutex_);
      job_changed_.wait_for(lock, kHotWait, [&] { return !w.running.load(); });
      lock.unlock();
      const uint64_t now = monotonic_ms();
      if (now - last_report_ms >= 1000) report(now);
      continue;
    }
    uint32_t nonces[crypto::kMaxWays];
    for (int i = 0; i < ways; ++i) {
      nonces[i] = static_cast<uint32_t>(blobs[i][42]) << 24 | (counter & (kNonceSpan - 1));
      ++counter;
      blobs[i][39] = static_cast<uint8_t>(nonces[i]);
      blobs[i][40] = static_cast<uint8_t>(nonces[i] >> 8);
      blobs[i][41] = static_cast<uint8_t>(nonces[i] >> 16);
    }
    if (crypto::ways_supported(job.algorithm)) {
      crypto::hash_ways(job.algorithm, ways, areas, inputs, length, outputs);
    } else {
      for (int i = 0; i < ways; ++i) references[i]->hash(job.algorithm, inputs[i], length, outputs[i], job.height);
    }
    hashes += static_cast<uint64_t>(ways);
    for (int i = 0; i < ways; ++i) {
      // The hash's last 8 bytes as a little-endian number against the share
      // target (the 32-bit target's when the job has no 64-bit one).
      uint64_t tail = 0;
      for (int b = 31; b >= 24; --b) tail = tail << 8 | hashes_out[i][b];
      const bool hit = job.share_target != 0 ? tail < job.share_target : (tail >> 32) < job.target;
      if (!hit) continue;
      core::gpu_result result;
      result.thread_index = index;
      result.nonce = nonces[i];
      result.sequence = generation;
      result.hashed = true;
      std::memcpy(result.hash, hashes_out[i], sizeof(result.hash));
      events_->post(core::executor_event(core::kFoundNonce, job.pool_id, result));
    }
    const uint64_t now = monotonic_ms();
    if (now - last_report_ms >= kReportMs) report(now);
  }
  w.cpu_us.store(thread_cpu_us());
  w.wall_us.store(static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - wall_start).count()));
}

}  // namespace cpu
