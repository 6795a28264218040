// The seam between the executor and the mining threads. The program uses
// the OpenCL mining threads (gpu::gpu_miner); tests may substitute a fake.
// All calls come from the executor thread, except where noted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/event_queue.h"
#include "core/work_records.h"

namespace core {

// Hash rates read by the watchdog on mining threads; lock-free reads.
class hash_rate_source {
 public:
  virtual ~hash_rate_source() = default;
  virtual double current_rate(size_t thread) const = 0;
  virtual double average_rate(size_t thread) const = 0;
};

// Rates that are always 0, so the watchdog never resets a GPU: for mining
// without an executor (the offline benchmark, tests).
class no_hash_rates : public hash_rate_source {
 public:
  double current_rate(size_t) const override { return 0.0; }
  double average_rate(size_t) const override { return 0.0; }
};

// A device's sensors and state as the statistics show them.
struct device_reading {
  float temperature_c = -1.0f;  // -1 without a reading
  int32_t fan = -1;             // RPM or percent as the sensor reports it, -1 without
  bool paused = false;          // held by the temperature guard
  bool has_fan = true;          // a GPU; a CPU package has no fan reading
};

// Which part of the nonce space each mining thread searches, when several
// backends mine in one process: the threads of one backend take slots
// first .. first + count - 1 of `total`, and every backend derives the top
// nonce byte from the same key, so no two threads ever search the same nonce.
struct nonce_slots {
  uint32_t first = 0;
  uint32_t total = 0;  // 0: the backend's own thread count
  int32_t key = -1;    // 0..255 mixed into the top byte; -1: a random one
};

class mining_backend {
 public:
  virtual ~mining_backend() = default;
  // Starts one mining thread per configured GPU with an idle initial job.
  // Results and hash counts are posted to events; rates outlive the threads.
  virtual void start(const mining_job& initial, event_queue& events,
                     const hash_rate_source& rates) = 0;
  // Publishes a job: replaces the current job and advances the generation;
  // switches every GPU first when the job needs another scratchpad size.
  virtual void publish(const mining_job& job) = 0;
  // Stops and joins every mining thread, in list order.
  virtual void stop() = 0;
  // The generation of the published job (any thread).
  virtual uint64_t generation() const = 0;
  virtual size_t thread_count() const = 0;
  // The error line of a device its backend has parked (it could not be set
  // up again and mines nothing), empty while it mines or waits for work.
  // Any thread.
  virtual std::string device_error(size_t /*thread*/) const { return {}; }
  // The sensors and pause of a thread's device; any thread.
  virtual device_reading read_device(size_t /*thread*/) const { return {}; }
  // The device number (the --gpu entry) of a thread.
  virtual uint32_t device_number(size_t thread) const = 0;
  // The name of a thread's device in lines and documents: "GPU1", "CPU0".
  virtual std::string device_name(size_t thread) const {
    return "GPU" + std::to_string(device_number(thread));
  }
};

}  // namespace core
