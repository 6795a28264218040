// The built programs of the random loop's main kernel (cn/r) for one GPU,
// one per height group (random_source.h), and the thread that builds them
// ahead of need.
//
// Who owns what: the store owns its programs (at most max_live at a time,
// the least recently used released first) and its builder thread. The
// builder only creates programs on the GPU's context (retained by the store
// for its lifetime) and launches each new one once, with nothing to do, on a
// command queue of its own so that drivers that compile at the first launch
// (PoCL) do it here; it never touches the GPU's queues. The GPU's mining
// thread takes a program through Acquire: a reference of its own, from which
// it creates its queues' kernels, so a release here never pulls a program
// from under a queue. Every member may be called from any thread; the
// destructor stops the builder and joins it, which takes at most the one
// build in progress.
#pragma once

#include <CL/cl.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "base/status.h"
#include "gpu/cl_handle.h"
#include "gpu/program.h"

namespace gpu {

// Height programs a GPU keeps: the current group's, the next one built
// ahead, and one more (the self-test's height, or the group just left).
constexpr size_t kMaxLiveHeightPrograms = 3;

class height_programs {
 public:
  // target.context is retained here. source: the kernel source the group's
  // code is prepended to; options: BuildOptions of the device (the store
  // adds RandomKernelOptions).
  height_programs(const program_target& target, std::string source, std::string options,
                  size_t max_live = kMaxLiveHeightPrograms);
  ~height_programs();
  height_programs(const height_programs&) = delete;
  height_programs& operator=(const height_programs&) = delete;

  // The program of `group`, waiting until it is built (its build goes first
  // when it was not asked for yet); `program` holds a reference of its own.
  // A failed build is kept and returned to every caller (printed once).
  // *waited (when given) tells whether the program was not built yet.
  base::status Acquire(uint64_t group, cl_program_handle& program, bool* waited = nullptr);
  // Starts building `group` in the background unless it is built or queued.
  void BuildAhead(uint64_t group);
  // Waits (at most `limit`) until `group` is built or has failed; false when
  // it is not there by then or was never asked for. For tests and benches.
  bool WaitBuilt(uint64_t group, std::chrono::milliseconds limit);

  // Programs held (built, building or queued), at most max_live.
  size_t live() const;
  // Builds finished since construction (from source or the disk cache).
  uint64_t builds() const;

 private:
  enum class slot_state { queued, building, built, failed };
  struct slot {
    slot_state state = slot_state::queued;
    cl_program_handle program;
    base::status result;
    uint64_t last_use = 0;
    int waiters = 0;
  };

  // With mutex_ held: the slot of group (created queued and put on the
  // build list, first or last, when missing), marked as used now; may
  // release the least recently used other slots to stay within max_live_.
  slot& Touch(uint64_t group, bool urgent);
  void Evict(uint64_t keep);
  void BuilderLoop();
  // Builds one group (no lock held) and launches it once.
  base::status Build(uint64_t group, cl_program_handle& program);
  void WarmUp(cl_program program);

  const program_target target_;
  cl_context_handle context_;  // the retained reference
  const std::string source_;
  const std::string options_;
  const size_t max_live_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;  // a slot finished, a request came, or stop
  std::map<uint64_t, slot> slots_;   // guarded by mutex_
  std::deque<uint64_t> pending_;     // groups to build, in order; guarded by mutex_
  uint64_t use_clock_ = 0;           // guarded by mutex_
  uint64_t builds_ = 0;              // guarded by mutex_
  bool stop_ = false;                // guarded by mutex_

  // The builder thread's own: a queue and buffers for the warm-up launch.
  cl_queue_handle warm_queue_;
  cl_mem_handle warm_run_;
  cl_mem_handle warm_buffer_;
  uint32_t warm_run_flag_ = 1;

  std::thread builder_;  // started last, joined first
};

}  // namespace gpu
