// The executor's event queue: first in, first out, one mutex and one
// condition variable. Any thread may post; only the executor loop takes.
// The mutex is held only to push or remove one item, never while handling.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "core/work_records.h"

namespace core {

class event_queue {
 public:
  // A ring of slots that only grows: once it has held as many events as are
  // ever pending at once, posting and taking allocate nothing (a pool line
  // that becomes a new_job event must not cost a heap allocation).
  static constexpr size_t kInitialSlots = 64;

  event_queue() : slots_(kInitialSlots) {}
  event_queue(const event_queue&) = delete;
  event_queue& operator=(const event_queue&) = delete;

  void post(executor_event event) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (count_ == slots_.size()) grow_locked();
      slots_[(head_ + count_) % slots_.size()] = std::move(event);
      ++count_;
    }
    ready_.notify_one();
  }

  // Puts the event ahead of every pending one (the exit: it must not wait
  // behind a backlog that the producers may keep growing).
  void post_front(executor_event event) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (count_ == slots_.size()) grow_locked();
      head_ = (head_ + slots_.size() - 1) % slots_.size();
      slots_[head_] = std::move(event);
      ++count_;
    }
    ready_.notify_one();
  }

  // Blocks until an event is queued, then removes and returns the front one.
  executor_event take() {
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait(lock, [this] { return count_ != 0; });
    return pop_locked();
  }

  // take() with a deadline; nullopt when nothing arrived in time.
  template <typename Rep, typename Period>
  std::optional<executor_event> take_for(std::chrono::duration<Rep, Period> timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!ready_.wait_for(lock, timeout, [this] { return count_ != 0; })) return std::nullopt;
    return pop_locked();
  }

  size_t size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_;
  }

 private:
  executor_event pop_locked() {
    executor_event event = std::move(slots_[head_]);
    slots_[head_].payload = std::monostate{};  // drop a moved-from text at once
    head_ = (head_ + 1) % slots_.size();
    --count_;
    return event;
  }

  void grow_locked() {
    std::vector<executor_event> larger(slots_.size() * 2);
    for (size_t i = 0; i < count_; ++i) larger[i] = std::move(slots_[(head_ + i) % slots_.size()]);
    slots_ = std::move(larger);
    head_ = 0;
  }

  mutable std::mutex mutex_;
  std::condition_variable ready_;
  // Guarded by mutex_: the pending events are slots_[head_] onwards, count_
  // of them, wrapping at the end of slots_.
  std::vector<executor_event> slots_;
  size_t head_ = 0;
  size_t count_ = 0;
};

}  // namespace core
