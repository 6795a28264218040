#include "core/executor.h"

#include <cstdio>
#include <cstring>

#include "base/printer.h"
#include "crypto/algorithm.h"

namespace core {

executor::executor(mining_backend& miner, executor_settings settings,
                   std::unique_ptr<crypto::CryptoNight> hasher)
    : miner_(miner),
      settings_(std::move(settings)),
      hasher_(std::move(hasher)),
      meter_(settings_.gpu_count),
      dev_pool_(std::make_unique<net::jpsock>(kPoolDonation, pool_reports(),
                                              settings_.reply_timeout, *settings_.clock)),
      pool_configs_(settings_.pools.empty() ? std::vector<pool_options>(1) : settings_.pools),
      job_start_(settings_.clock->ticks()) {
  for (size_t i = 0; i < pool_configs_.size(); ++i) {
    pools_.push_back(std::make_unique<net::jpsock>(kPoolUser + i, pool_reports(), settings_.reply_timeout,
                                                   *settings_.clock));
    pool_stats_.push_back(std::make_unique<pool_stats>());
  }
}

executor::~executor() {
  if (executor_thread_.joinable() || timer_thread_.joinable()) stop();
}

void executor::start() { executor_thread_ = std::thread(&executor::loop, this); }

void executor::stop() {
  // Ahead of the queue: results can arrive faster than they are checked (a
  // low difficulty on a slow CPU), and the exit must not wait for them all;
  // the results still queued then are not submitted.
  events_.post_front(executor_event(kStop, kPoolNone));
  if (timer_thread_.joinable()) timer_thread_.join();
  if (executor_thread_.joinable()) executor_thread_.join();
}

void executor::loop() {
  published_ = idle_job(kPoolNone, 0);
  miner_.start(published_, events_, *this);

  active_pool_.store(kPoolUser);
  active_user_.store(0);
  timer_thread_ = std::thread(&executor::timer_loop, this);
  post(executor_event(kReconnect, kPoolUser));

  while (executor_running_.load()) {
    executor_event event = events_.take();
    dispatch(event);
  }
  // Connections end with the loop so their threads never post into a queue
  // that nobody empties.
  for (auto& pool : pools_) pool->disconnect();
  dev_pool_->disconnect();
}

void executor::begin_exit() {
  if (!executor_thread_.joinable()) {
    exiting_.store(true);
    return;
  }
  post(executor_event(kQuiet, kPoolNone));
  // Bounded: the executor may be blocked in a login for a while.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (!exiting_.load() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  exiting_.store(true);
}

void executor::dispatch(executor_event& event) {
  switch (event.kind) {
    case kSocketReady:
      on_socket_ready(event.pool_id);
      break;
    case kSocketError: {
      const base::status* error = std::get_if<base::status>(&event.payload);
      on_socket_error(event.pool_id, error != nullptr ? *error : base::status::ok());
      break;
    }
    case kNewJob:
      if (const job_record* job = std::get_if<job_record>(&event.payload))
        on_new_job(event.pool_id, *job);
      break;
    case kFoundNonce:
      if (const gpu_result* result = std::get_if<gpu_result>(&event.payload)) {
        if (on_found_nonce(event.pool_id, *result) && event.pool_id != kPoolDonation) print_share_line();
      }
      break;
    case kShareResult:
      if (const share_result* result = std::get_if<share_result>(&event.payload))
        on_share_result(event.pool_id, *result);
      break;
    case kProbePrimary:
      on_probe_primary(event.pool_id);
      break;
    case kHousekeeping:
      on_housekeeping();
      break;
    case kQuiet:
      exiting_.store(true);
      break;
    case kHashCount:
      if (const hash_report* report = std::get_if<hash_report>(&event.payload))
        on_hash_count(*report);
      break;
    case kLostNonces:
      if (const lost_nonces* lost = std::get_if<lost_nonces>(&event.payload))
        on_lost_nonces(event.pool_id, *lost);
      break;
    case kReconnect:
      on_reconnect(event.pool_id);
      break;
    case kSwitchPool:
      on_switch_pool(event.pool_id);
      break;
    case kCloseDevPool:
      on_close_dev_pool();
      break;
    case kPrintShares:
      print_share_line();
      break;
    case kPrintReport:
      print_report();
      break;
    case kStop:
      on_stop();
      break;
    default:
      break;  // unknown kinds are taken and ignored
  }
}

void executor::publish(const mining_job& job) {
  published_ = job;
  miner_.publish(job);
}

int32_t executor::select_algorithm(const job_record& job) const {
  // An algorithm the pool names decides, ahead of everything else.
  if (job.algorithm >= 0) return job.algorithm;
  const int32_t configured = settings_.algorithm;
  if (active_pool_.load() == kPoolDonation && configured != crypto::kCryptoNightFast &&
      configured != crypto::kCryptoNightV8) {
    // Donation jobs keep the scratchpad size of the user's coin, so the
    // GPUs need no kernel switch.
    switch (crypto::size_class_of(published_.algorithm)) {
      case crypto::size_class::light: return crypto::kCryptoNightV7Lite;
      case crypto::size_class::heavy: return crypto::kCryptoNightHeavy;
      case crypto::size_class::pico: return crypto::kCryptoNightPico;
      case crypto::size_class::extreme_lite: return crypto::kCryptoNightUpx2;
      case crypto::size_class::normal: break;
    }
    return crypto::detect_algorithm(job.blob[0]);
  }
  if (configured != crypto::kAlgoAutoDetect) return configured;
  return crypto::detect_algorithm(job.blob[0]);
}

mining_job executor::work_from(const job_record& job, uint64_t pool_id, uint32_t nonce_base) const {
  mining_job work;
  std::memcpy(work.job_id, job.job_id, sizeof(work.job_id));
  std::memcpy(work.blob, job.blob, sizeof(work.blob));
  work.blob_length = job.blob_length;
  work.target = job.target;
  work.share_target = job.share_target;
  std::memcpy(work.algo_name, job.algo_name, sizeof(work.algo_name));
  work.nonce_base = nonce_base;
  work.idle = false;
  work.pool_id = pool_id;
  work.nicehash = (is_user_pool(pool_id) ? *pools_[index_of(pool_id)] : *dev_pool_).nicehash();
  work.algorithm = select_algorithm(job);
  work.height = job.height;
  return work;
}

void executor::on_new_job(uint64_t pool_id, const job_record& job) {
  if (pool_id != active_pool_.load()) return;
  if (job.algorithm == kJobAlgoUnknown) {
    // Not mined: the GPUs wait for a job they can mine; the connection stays.
    if (pool_id != kPoolDonation && !exiting_.load()) {
      base::printer::inst().print_error(
          "Pool job %s asks for algorithm %s, which this build cannot mine: waiting for another job",
          job.job_id, job.algo_name);
    }
    publish(idle_job(pool_id, published_.algorithm));
    return;
  }
  const mining_job work = work_from(job, pool_id, 0);
  const crypto::algorithm_info* info = crypto::find_algorithm(work.algorithm);
  const bool needs_height = info != nullptr && info->loop == crypto::loop_family::random;
  if (info == nullptr || (needs_height && work.height == net::kJobNoHeight)) {
    // Not mined either: a blob of no version this family hashes, or a job
    // whose hash needs the height the pool left out.
    if (pool_id != kPoolDonation && !exiting_.load()) {
      if (info == nullptr) {
        base::printer::inst().print_error(
            "Pool job %s has a blob of major version %u, which is not a CryptoNight blob: waiting "
            "for another job",
            job.job_id, static_cast<unsigned>(job.blob[0]));
      } else {
        base::printer::inst().print_error(
            "Pool job %s is %s but has no \"height\", which its hash needs: waiting for another "
            "job",
            job.job_id, info->pool_name);
      }
    }
    publish(idle_job(pool_id, published_.algorithm));
    return;
  }
  publish(work);

  if (pool_id == kPoolDonation) return;

  net::jpsock& pool = *pools_[index_of(pool_id)];
  char message[128];
  snprintf(message, sizeof(message), "New Job received (%s).",
           crypto::algorithm_name(work.algorithm));
  std::string text = message;
  job_start_.store(settings_.clock->ticks());
  if (job_count_.load() > 0) {
    const double average = pool.connected_seconds() / job_count_.load();
    job_time_avg_.store(average);
    char buffer[32];
    snprintf(buffer, sizeof(buffer), "%.1f sec", average);
    text += " Avg Job Time: ";
    text += buffer;
  }
  job_count_.fetch_add(1);
  if (!exiting_.load()) base::printer::inst().print_leveled(base::kEvent, "%s", text.c_str());

  const uint64_t difficulty = pool.difficulty();
  if (difficulty != difficulty_.load()) {
    difficulty_.store(difficulty);
    if (!exiting_.load())
      base::printer::inst().print_leveled(base::kStatus, "Difficulty changed. Now: %llu.",
                                         static_cast<unsigned long long>(difficulty));
  }
}

bool executor::on_found_nonce(uint64_t pool_id, const gpu_result& result) {
  base::printer& out = base::printer::inst();
  const bool loud = pool_id != kPoolDonation && !exiting_.load();
  pool_stats* stats = is_user_pool(pool_id) ? pool_stats_[index_of(pool_id)].get() : nullptr;
  const std::string device_text = miner_.device_name(result.thread_index);
  const char* device = device_text.c_str();
  if (result.sequence != miner_.generation()) {
    if (pool_id == kPoolDonation) return true;
    if (loud) out.print_leveled(base::kEvent, "%s Found Nonce, job already changed -> outdated.", device);
    count(outdated_, &pool_stats::outdated, stats);
    return true;
  }
  if (loud) out.print_leveled(base::kEvent, "%s Found Nonce, submitting...", device);
  net::jpsock& target_pool = is_user_pool(pool_id) ? *pools_[index_of(pool_id)] : *dev_pool_;

  const mining_job& job = published_;
  uint8_t blob[kBlobSize];
  std::memcpy(blob, job.blob, sizeof(blob));
  blob[39] = static_cast<uint8_t>(result.nonce);
  blob[40] = static_cast<uint8_t>(result.nonce >> 8);
  blob[41] = static_cast<uint8_t>(result.nonce >> 16);
  blob[42] = static_cast<uint8_t>(result.nonce >> 24);
  uint8_t hash[32] = {};
  const uint32_t length = job.blob_length <= kBlobSize ? job.blob_length : kBlobSize;
  // A result that carries its hash (a CPU thread's) is not hashed again; any
  // other is hashed at its own job's height.
  if (result.hashed)
    std::memcpy(hash, result.hash, sizeof(hash));
  else
    hasher_->hash(job.algorithm, blob, length, hash, job.height);
  // The hash's last 8 bytes as a little-endian number against the 64-bit
  // share target (for a 32-bit pool target the same as word 7 < target).
  uint64_t tail = 0;
  for (int i = 31; i >= 24; --i) tail = tail << 8 | hash[i];
  const bool valid = tail < job.share_target;

  if (pool_id == kPoolDonation) {
    if (target_pool.is_connected() && target_pool.is_logged_in() && valid)
      target_pool.submit(job.job_id, result.nonce, hash, job.algo_name, result.thread_index);
    return true;
  }
  if (!valid) {
    if (loud) out.print_leveled(base::kEvent, "!Rejected, Nonce Invalid!");
    count(invalid_, &pool_stats::invalid, stats);
    return true;
  }
  if (!target_pool.is_connected() || !target_pool.is_logged_in()) {
    if (loud) out.print_leveled(base::kEvent, "!Could not be submitted Network Error occured!");
    count(network_fail_, &pool_stats::network_fail, stats);
    return true;
  }
  // The answer comes later as a share_result event; the executor goes on.
  if (target_pool.submit(job.job_id, result.nonce, hash, job.algo_name, result.thread_index)) return false;
  if (loud) out.print_leveled(base::kEvent, "!Could not be submitted a Network Error occured!");
  count(network_fail_, &pool_stats::network_fail, stats);
  return true;
}

void executor::on_share_result(uint64_t pool_id, const share_result& result) {
  if (!is_user_pool(pool_id)) return;  // the donation's shares are not counted
  base::printer& out = base::printer::inst();
  const bool loud = !exiting_.load();
  pool_stats& stats = *pool_stats_[index_of(pool_id)];
  net::jpsock& pool = *pools_[index_of(pool_id)];
  switch (result.outcome) {
    case kShareAccepted:
      count(accepted_, &pool_stats::accepted, &stats);
      if (loud) out.print_leveled(base::kEvent, "Share Accepted -> +1");
      break;
    case kShareRejected:
      if (loud) out.print_leveled(base::kEvent, "!Rejected by pool! Reason: %s", result.reason.c_str());
      count(rejected_, &pool_stats::rejected, &stats);
      if (result.reason.find("Unauthenticated") != std::string::npos && pool.is_connected()) {
        if (loud) out.print_leveled(base::kEvent, "Reconnecting to Pool ...");
        pool.disconnect();
      }
      break;
    default:
      if (loud) out.print_leveled(base::kEvent, "!Could not be submitted a Network Error occured!");
      count(network_fail_, &pool_stats::network_fail, &stats);
      break;
  }
  if (accepted_.load() >= 2) search_time_avg_.store(pool.connected_seconds() / accepted_.load());
  print_share_line();
}

void executor::on_hash_count(const hash_report& report) {
  meter_.add(report.thread_index, report.hashes, report.milliseconds);
  if (meter_.window_ms(report.thread_index) > 4000) print_gpu_line(report.thread_index);
}

void executor::on_lost_nonces(uint64_t pool_id, const lost_nonces& lost) {
  if (!is_user_pool(pool_id)) return;  // the donation's shares are not counted
  lost_.fetch_add(lost.count);
  pool_stats_[index_of(pool_id)]->lost.fetch_add(lost.count);
  if (exiting_.load()) return;
  base::printer::inst().print_leveled(
      base::kEvent,
      "%s: %u of %u nonces found in one round were lost (the result list holds %u): "
      "hashes per round lowered from %llu to %llu for this job",
      miner_.device_name(lost.thread_index).c_str(), lost.count, lost.found,
      lost.found - lost.count, static_cast<unsigned long long>(lost.hashes),
      static_cast<unsigned long long>(lost.lowered_to));
}

void executor::on_stop() {
  miner_.stop();
  base::printer::inst().print_plain(" GPU stopped... ");
  {
    // Under the timer's mutex, so the timer cannot miss the wake-up between
    // looking at the flag and starting to wait.
    std::lock_guard<std::mutex> lock(timer_mutex_);
    executor_running_.store(false);
  }
  timer_signal_.notify_all();
}

}  // namespace core
