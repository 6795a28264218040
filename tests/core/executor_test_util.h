// Helpers for the executor tests: a mining backend that records what the
// executor publishes, a console capture, pools on loopback and bounded waits.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/executor.h"
#include "core/mining_backend.h"
#include "base/hex.h"
#include "fake_pool.h"
#include "support/manual_clock.h"
#include "support/wait.h"

namespace core {

constexpr std::chrono::seconds kWait{30};

// Stands in for the mining threads: records every published job.
class fake_miner : public mining_backend {
 public:
  void start(const mining_job& initial, event_queue& events, const hash_rate_source&) override {
    std::lock_guard<std::mutex> lock(mutex_);
    events_ = &events;
    current_ = initial;
    started_ = true;
  }
  void publish(const mining_job& job) override {
    std::lock_guard<std::mutex> lock(mutex_);
    current_ = job;
    jobs_.push_back(job);
    generation_.fetch_add(1);
    changed_.notify_all();
  }
  void stop() override { stopped_.store(true); }
  uint64_t generation() const override { return generation_.load(); }
  mining_job current_job() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return current_;
  }
  size_t thread_count() const override { return devices.size(); }
  uint32_t device_number(size_t thread) const override { return devices.at(thread); }
  // CPU threads (names set): named by `names`, with no fan and no sensor.
  std::string device_name(size_t thread) const override {
    return names.empty() ? mining_backend::device_name(thread) : names.at(thread);
  }
  device_reading read_device(size_t thread) const override {
    device_reading reading;
    if (!names.empty() && thread < names.size()) reading.has_fan = false;
    return reading;
  }
  std::string device_error(size_t thread) const override {
    return thread < errors.size() ? errors[thread] : std::string();
  }

  // Waits until `count` jobs were published; the jobs so far.
  std::vector<mining_job> wait_for_jobs(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, kWait, [&] { return jobs_.size() >= count; });
    return jobs_;
  }
  std::vector<mining_job> jobs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return jobs_;
  }
  // Forgets the jobs so far, for a test that starts a second executor.
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.clear();
  }
  bool stopped() const { return stopped_.load(); }

  // The --gpu entries of the threads; set before the executor starts.
  std::vector<std::string> names;
  std::vector<uint32_t> devices{0};
  // The error line of each parked device (none: every device mines).
  std::vector<std::string> errors;

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  event_queue* events_ = nullptr;
  mining_job current_;
  std::vector<mining_job> jobs_;
  bool started_ = false;
  std::atomic<uint64_t> generation_{0};
  std::atomic<bool> stopped_{false};
};

// Waits until `condition` holds, at most `timeout`.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout = kWait) {
  return support::eventually(condition, timeout);
}

// Pool lines for the executor tests.
// A 76-byte blob whose major version (byte 0) selects the algorithm family.
inline std::string blob_hex(uint8_t major_version) {
  uint8_t blob[76];
  for (int i = 0; i < 76; ++i) blob[i] = static_cast<uint8_t>(i * 7 + 3);
  blob[0] = major_version;
  return base::hex_encode(blob, sizeof(blob));
}

inline std::string login_reply(const std::string& blob, const std::string& target,
                        const std::string& job_id = "job-1") {
  return "{\"id\":1,\"jsonrpc\":\"2.0\",\"error\":null,\"result\":{\"id\":\"miner-7\",\"job\":{"
         "\"blob\":\"" + blob + "\",\"job_id\":\"" + job_id + "\",\"target\":\"" + target +
         "\"},\"status\":\"OK\"}}\n";
}

inline const std::string kOk = "{\"id\":1,\"jsonrpc\":\"2.0\",\"error\":null,\"result\":{\"status\":\"OK\"}}\n";

inline std::string error_reply(const std::string& message) {
  return "{\"id\":1,\"jsonrpc\":\"2.0\",\"error\":{\"code\":-1,\"message\":\"" + message + "\"}}\n";
}

// A pool that logs in with `login` and answers submits with `submit`.
inline void serve(net::fake_pool& pool, const std::string& login, std::function<std::string()> submit) {
  pool.set_responder([login, submit](const std::string& line) -> std::string {
    if (line.find("\"method\":\"login\"") != std::string::npos) return net::reply_for(line, login);
    if (line.find("\"method\":\"submit\"") != std::string::npos) return net::reply_for(line, submit());
    return "";
  });
}

}  // namespace core
