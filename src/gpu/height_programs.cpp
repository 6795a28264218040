#include "gpu/height_programs.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <cstdio>
#include <filesystem>
#include <limits>
#include <utility>

#include "base/printer.h"
#include "crypto/algorithm.h"
#include "gpu/cl_call.h"
#include "gpu/random_source.h"

namespace gpu {
namespace {

// Height group files kept in the binary cache per device: a restart near
// the same heights finds its programs, and old ones do not pile up.
constexpr size_t kCachedHeightFiles = 16;

uint32_t RandomMainLocalSize() {
  for (const crypto::algorithm_info& info : crypto::kAlgorithms) {
    if (info.loop == crypto::loop_family::random) return info.main_local_size;
  }
  return 8;
}

// A build leaves the compiler's freed memory in the allocator's arenas (the
// builder's and the OpenCL runtime's threads'), in pieces the allocator does
// not give back by itself: over one build per block the process would grow
// for as long as it mines. Handing the free pages back after each build and
// release keeps it flat.
void ReturnFreePagesToSystem() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

}  // namespace

height_programs::height_programs(const program_target& target, std::string source,
                                 std::string options, size_t max_live)
    : target_(target),
      source_(std::move(source)),
      options_(std::move(options) + " " + RandomKernelOptions()),
      max_live_(max_live < 2 ? 2 : max_live) {
  if (target_.context != nullptr && clRetainContext(target_.context) == CL_SUCCESS) {
    context_ = target_.context;
  }
  builder_ = std::thread([this] { BuilderLoop(); });
}

height_programs::~height_programs() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    pending_.clear();
  }
  changed_.notify_all();
  if (builder_.joinable()) builder_.join();
  // The programs and the builder's objects go before the context reference.
  slots_.clear();
  warm_buffer_.reset();
  warm_run_.reset();
  warm_queue_.reset();
}

height_programs::slot& height_programs::Touch(uint64_t group, bool urgent) {
  auto [it, inserted] = slots_.try_emplace(group);
  slot& entry = it->second;
  entry.last_use = ++use_clock_;
  if (inserted) {
    if (urgent) {
      pending_.push_front(group);
    } else {
      pending_.push_back(group);
    }
    changed_.notify_all();
  } else if (urgent && entry.state == slot_state::queued) {
    // Wanted now: ahead of the groups only built in advance.
    std::erase(pending_, group);
    pending_.push_front(group);
  }
  Evict(group);
  return entry;
}

void height_programs::Evict(uint64_t keep) {
  while (slots_.size() > max_live_) {
    auto victim = slots_.end();
    for (auto it = slots_.begin(); it != slots_.end(); ++it) {
      const slot& s = it->second;
      if (it->first == keep || s.waiters > 0 || s.state == slot_state::building) continue;
      if (victim == slots_.end() || s.last_use < victim->second.last_use) victim = it;
    }
    if (victim == slots_.end()) return;  // everything else is in use; shrinks later
    std::erase(pending_, victim->first);
    slots_.erase(victim);
  }
}

base::status height_programs::Acquire(uint64_t group, cl_program_handle& program, bool* waited) {
  std::unique_lock<std::mutex> lock(mutex_);
  slot* entry = &Touch(group, true);
  if (waited != nullptr) {
    *waited = entry->state != slot_state::built && entry->state != slot_state::failed;
  }
  ++entry->waiters;
  changed_.wait(lock, [&] {
    return stop_ || entry->state == slot_state::built || entry->state == slot_state::failed;
  });
  --entry->waiters;
  if (entry->state == slot_state::failed) return entry->result;
  if (entry->state != slot_state::built) {
    return base::status::error(base::status_code::kDeviceError,
                               "the cn/r program builder has stopped");
  }
  clRetainProgram(entry->program);
  program = entry->program.get();
  Evict(group);  // a slot left alone by a waiter may go now
  return base::status::ok();
}

void height_programs::BuildAhead(uint64_t group) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!stop_) Touch(group, false);
}

bool height_programs::WaitBuilt(uint64_t group, std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, limit, [&] {
    const auto it = slots_.find(group);
    return it != slots_.end() &&
           (it->second.state == slot_state::built || it->second.state == slot_state::failed);
  });
}

size_t height_programs::live() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return slots_.size();
}

uint64_t height_programs::builds() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return builds_;
}

void height_programs::BuilderLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return stop_ || !pending_.empty(); });
    if (stop_) return;
    const uint64_t group = pending_.front();
    pending_.pop_front();
    slots_[group].state = slot_state::building;
    lock.unlock();
    cl_program_handle program;
    base::status result = Build(group, program);
    lock.lock();
    // A building slot is never evicted, so it is still there.
    slot& entry = slots_[group];
    const bool built = result.is_ok();
    entry.program = std::move(program);
    entry.state = built ? slot_state::built : slot_state::failed;
    entry.result = std::move(result);
    ++builds_;
    Evict(std::numeric_limits<uint64_t>::max());  // may release this slot too
    const size_t held = slots_.size();
    changed_.notify_all();
    lock.unlock();
    ReturnFreePagesToSystem();
    if (built) {
      base::printer::inst().print_leveled(
          base::kInfo, "GPU%u: cn/r kernel of heights %llu-%llu ready, %zu held", target_.ordinal,
          static_cast<unsigned long long>(group * kRandomHeightsPerGroup),
          static_cast<unsigned long long>((group + 1) * kRandomHeightsPerGroup - 1), held);
    }
    lock.lock();
  }
}

base::status height_programs::Build(uint64_t group, cl_program_handle& program) {
  const uint64_t first = group * kRandomHeightsPerGroup;
  char what[96];
  std::snprintf(what, sizeof(what), "cn/r kernel of heights %llu-%llu",
                static_cast<unsigned long long>(first),
                static_cast<unsigned long long>(first + kRandomHeightsPerGroup - 1));
  const std::string source = RandomGroupSource(group) + source_;
  const std::string path = ProgramCachePath(target_, "-r" + std::to_string(group));
  bool from_cache = false;
  base::status s = BuildCachedProgram(target_, source, options_, path, what, program, from_cache);
  if (!s) return s;
  if (!path.empty() && !from_cache) {
    const std::string prefix =
        std::filesystem::path(ProgramCachePath(target_, "-r")).stem().string();
    PruneCachedBinaries(path, prefix, kCachedHeightFiles);
  }
  WarmUp(program);
  return s;
}

void height_programs::WarmUp(cl_program program) {
  // Failures here only mean the first real launch compiles instead.
  cl_int status = CL_SUCCESS;
  if (warm_queue_ == nullptr) {
    cl_command_queue queue = clCreateCommandQueue(target_.context, target_.device, 0, &status);
    if (status != CL_SUCCESS) return;
    warm_queue_ = queue;
    cl_mem run = clCreateBuffer(target_.context, CL_MEM_READ_ONLY | CL_MEM_COPY_HOST_PTR,
                                sizeof(warm_run_flag_), &warm_run_flag_, &status);
    if (status != CL_SUCCESS) return;
    warm_run_ = run;
    cl_mem buffer = clCreateBuffer(target_.context, CL_MEM_READ_WRITE, 4096, nullptr, &status);
    if (status != CL_SUCCESS) return;
    warm_buffer_ = buffer;
  }
  if (warm_run_ == nullptr || warm_buffer_ == nullptr) return;
  cl_kernel_handle kernel(clCreateKernel(program, RandomKernelName(), &status));
  if (status != CL_SUCCESS) return;
  // The run flag is set, so every work item returns before it touches the
  // (too small) scratchpads. Launched at offset 0 (a job's first round on
  // the first GPU) and at another offset (every later round): PoCL compiles
  // a separate form of the kernel for each.
  const cl_mem buffer = warm_buffer_.get();
  const cl_mem run = warm_run_.get();
  const cl_uint slot = 0;
  if (clSetKernelArg(kernel, 0, sizeof(cl_mem), &buffer) != CL_SUCCESS ||
      clSetKernelArg(kernel, 1, sizeof(cl_mem), &buffer) != CL_SUCCESS ||
      clSetKernelArg(kernel, 2, sizeof(cl_mem), &buffer) != CL_SUCCESS ||
      clSetKernelArg(kernel, 3, sizeof(cl_mem), &run) != CL_SUCCESS ||
      clSetKernelArg(kernel, 4, sizeof(slot), &slot) != CL_SUCCESS) {
    return;
  }
  const size_t local = RandomMainLocalSize();
  const size_t global = local * 2;
  for (const size_t offset : {size_t{0}, local * 4096}) {
    if (clEnqueueNDRangeKernel(warm_queue_, kernel, 1, &offset, &global, &local, 0, nullptr,
                               nullptr) != CL_SUCCESS) {
      return;
    }
  }
  clFinish(warm_queue_);
}

}  // namespace gpu
