// A mining backend as the run sequence drives it: device start-up, the
// optional tuning pass, mining (the executor's part, mining_backend) and
// the per-thread facts the benchmark reports. One implementation per
// compute API (src/gpu: OpenCL); the program creates one and uses nothing
// else of it. Main thread, except where noted here or in mining_backend.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "base/status.h"
#include "core/mining_backend.h"

namespace core {

class backend : public mining_backend {
 public:
  // Finds and sets up the devices, printing the start-up banner and any
  // error; the (printed) failure when mining cannot start. Once, before
  // start().
  virtual base::status init_devices() = 0;
  // The tuning pass for an algorithm (every one for -1): measures settings,
  // prints them and keeps the best for later runs. After init_devices,
  // without start(); a failure when nothing could be measured.
  virtual base::status autotune(int32_t algorithm) = 0;
  // Called on a mining thread once every device has refused the algorithm
  // of its job (a failed self-test). Set before start().
  virtual void set_all_failed_handler(std::function<void()> handler) = 0;
  // Whether devices verify an algorithm before mining it.
  virtual bool self_test_enabled() const = 0;
  // Whether the thread's device refused the algorithm of its current job;
  // any thread.
  virtual bool self_test_failed(size_t thread) const = 0;
  // The share of one CPU core the thread used while it ran (0..1); after
  // stop() or while running.
  virtual double thread_cpu_share(size_t thread) const = 0;
  // Releases what init_devices took beyond the threads (sensors); after
  // stop(), at exit.
  virtual void shutdown() = 0;
};

}  // namespace core
