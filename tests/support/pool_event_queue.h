// An executor event queue that is also a pool listener: each report of a
// pool connection becomes the event the executor posts for it, so tests,
// benchmarks and fuzzers can drive a jpsock and read its events in order.
// Any thread may report; the test thread takes.
#pragma once

#include <string>
#include <utility>

#include "core/event_queue.h"
#include "net/pool_listener.h"

namespace support {

class pool_event_queue : public core::event_queue, public net::pool_listener {
 public:
  void on_ready(uint64_t pool_id) override { post(core::executor_event(core::kSocketReady, pool_id)); }
  void on_error(uint64_t pool_id, base::status error) override {
    post(core::executor_event(core::kSocketError, pool_id, std::move(error)));
  }
  void on_job(uint64_t pool_id, const net::job_record& job) override {
    post(core::executor_event(core::kNewJob, pool_id, job));
  }
  void on_share_answered(uint64_t pool_id, net::share_result result) override {
    post(core::executor_event(core::kShareResult, pool_id, std::move(result)));
  }
};

}  // namespace support
