// The executor's event queue: first in, first out, one mutex and one
// condition variable. Any thread may post; only the executor loop takes.
// The mutex is held only to push or remove one item.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>

#include "core/work_records.h"

namespace core {

class event_queue {
 public:
  void post(executor_event event) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      queue_.push_back(std::move(event));
    }
    ready_.notify_one();
  }

  // Blocks until an event is queued, then removes and returns the front one.
  executor_event take() {
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait(lock, [this] { return !queue_.empty(); });
    executor_event event = std::move(queue_.front());
    queue_.pop_front();
    return event;
  }

  // take() with a deadline; nullopt when nothing arrived in time.
  template <typename Rep, typename Period>
  std::optional<executor_event> take_for(std::chrono::duration<Rep, Period> timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!ready_.wait_for(lock, timeout, [this] { return !queue_.empty(); })) return std::nullopt;
    executor_event event = std::move(queue_.front());
    queue_.pop_front();
    return event;
  }

  size_t size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size();
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<executor_event> queue_;  // guarded by mutex_
};

}  // namespace core
