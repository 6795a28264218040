// Several backends mining as one: the GPUs and the CPU threads of one
// process. The executor sees one thread list (each member's threads after
// the previous member's) and one job generation; each member was set up
// with its nonce slots (core::nonce_slots) and its first thread index, so
// results need no translation. Calls as for core::backend.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/backend.h"

namespace core {

class backend_group : public backend {
 public:
  // Members whose init_devices has already succeeded, in thread-list order.
  explicit backend_group(std::vector<std::unique_ptr<backend>> members);

  // The members were started up before they were grouped.
  base::status init_devices() override { return base::status::ok(); }
  // Tunes every member; a failure only when no member measured anything.
  base::status autotune(int32_t algorithm) override;
  // Runs the handler once every member that self-tests has refused.
  void set_all_failed_handler(std::function<void()> handler) override;
  bool self_test_enabled() const override;
  bool self_test_failed(size_t thread) const override;
  double thread_cpu_share(size_t thread) const override;
  void shutdown() override;

  void start(const mining_job& initial, event_queue& events, const hash_rate_source& rates) override;
  void publish(const mining_job& job) override;
  void stop() override;
  // Every member counts one generation per publication, from 0 at start.
  uint64_t generation() const override { return members_.front()->generation(); }
  size_t thread_count() const override;
  uint32_t device_number(size_t thread) const override;
  std::string device_name(size_t thread) const override;
  std::string device_error(size_t thread) const override;
  device_reading read_device(size_t thread) const override;

 private:
  // The member that runs a thread of the list and the thread's index there.
  std::pair<const backend*, size_t> owner(size_t thread) const;

  std::vector<std::unique_ptr<backend>> members_;
  std::function<void()> all_failed_;
  std::atomic<size_t> failed_members_{0};
};

}  // namespace core
