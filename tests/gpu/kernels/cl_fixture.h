// Raw OpenCL harness for the kernel tests: the first device of platform 0
// (ORBECK_CL_PLATFORM and ORBECK_CL_DEVICE pick another), programs built with the miner's build options, and one search round of the
// seven kernels launched with exactly the miner's shapes and arguments.
#pragma once

#include <CL/cl.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kernel_test {

// Platform 0, first device of CL_DEVICE_TYPE_ALL, a context and an in-order
// queue. ok() is false (with error() saying why) when no device exists.
class ClEnv {
 public:
  ClEnv();
  ~ClEnv();
  ClEnv(const ClEnv&) = delete;
  ClEnv& operator=(const ClEnv&) = delete;

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  cl_device_id device() const { return device_; }
  cl_context context() const { return context_; }
  cl_command_queue queue() const { return queue_; }

  // The miner's options for a work size of 8 (gpu::ProgramBuildOptions):
  // OpenCL C 2.0 and exact division where the device has them, the kernel
  // table's instances.
  std::string BuildOptions() const;
  // The options of a height group's program (the random loop's kernel only).
  std::string RandomBuildOptions() const;

  // Builds source (with BuildOptions() unless options are given); on
  // failure returns nullptr and puts the build log in *log.
  cl_program Build(const std::string& source, std::string* log, double* seconds,
                   const std::string* options = nullptr) const;

 private:
  bool OpenClC2() const;

  std::string error_;
  cl_device_id device_ = nullptr;
  cl_context context_ = nullptr;
  cl_command_queue queue_ = nullptr;
};

// The kernels of one algorithm id, as the miner picks them from the
// algorithm table; ids without a row get id 0's.
struct KernelChoice {
  const char* prepare;
  const char* main;
  const char* collect;
  bool tweak_input;   // main kernel takes input35
  bool random_program;  // main kernel comes from the height group's program
  size_t main_local;  // the row's main local size (16 for the V8 loop, else 8)
  uint32_t scratchpad_bytes;
  size_t main_items = 1;  // main work items per hash
};
KernelChoice ChoiceFor(int algorithm);

// Device buffers for rounds of `hashes` nonces (a multiple of 16) of one
// scratchpad size, with every kernel of the table created from `program`.
class RoundRunner {
 public:
  RoundRunner(const ClEnv& env, cl_program program, size_t hashes, uint32_t scratchpad_bytes);
  ~RoundRunner();
  RoundRunner(const RoundRunner&) = delete;
  RoundRunner& operator=(const RoundRunner&) = delete;

  const std::string& error() const { return error_; }

  // One round: uploads blob (at most 84 bytes) padded with 0x01 and zeros to
  // 88 bytes, launches prepare, main, collect and the four final kernels with
  // global offset `offset`, and returns the reported nonces (output words
  // 0..count-1). Sets error() and returns {} on an OpenCL failure.
  // `height` picks the random loop's program: its group's program is built
  // (and kept until another group is asked for); other rows ignore it.
  std::vector<uint32_t> Round(int algorithm, const std::vector<uint8_t>& blob, uint32_t offset,
                              uint32_t target, uint64_t height = 0);

  // The raw output count word of the last round.
  uint32_t last_count() const { return last_count_; }
  // Branch counters of the last round.
  std::vector<uint32_t> BranchCounts();
  // The 200-byte states of the last round, 25 words per hash.
  std::vector<uint64_t> ReadStates();

  size_t hashes() const { return hashes_; }
  // When on, Round waits after each launch and records its wall-clock time
  // and the CPU time of this process (PoCL's worker threads included).
  struct LaunchTimes {
    double prepare = 0, main = 0, collect = 0, finals = 0;
  };
  void set_timed(bool timed) { timed_ = timed; }
  const LaunchTimes& last_times() const { return times_; }
  const LaunchTimes& last_cpu_times() const { return cpu_times_; }

  // The word behind the run buffer (the miner's abort flag).
  void set_run_flag(uint32_t value) { run_flag_ = value; }

 private:
  bool Check(cl_int status, const char* what);

  const ClEnv& env_;
  size_t hashes_;
  uint32_t scratchpad_bytes_;
  std::string error_;
  uint32_t last_count_ = 0;
  cl_mem input_ = nullptr;
  cl_mem states_ = nullptr;
  cl_mem scratchpad0_ = nullptr;
  cl_mem scratchpad1_ = nullptr;
  void* host_scratchpads_[2] = {};
  cl_mem branch_[4] = {};
  cl_mem output_ = nullptr;
  cl_mem run_ = nullptr;
  // The random loop's kernel of the last height group used.
  cl_program random_program_ = nullptr;
  cl_kernel random_kernel_ = nullptr;
  uint64_t random_group_ = 0;
  uint32_t run_flag_ = 0;
  bool timed_ = false;
  LaunchTimes times_;
  LaunchTimes cpu_times_;
  std::vector<cl_kernel> kernels_;
  cl_kernel Kernel(const char* name);
  cl_kernel RandomKernel(uint64_t height);
};

// The queue kernels and the four final-hash kernels in the miner's
// creation order.
const std::vector<std::string>& AllKernelNames();

std::vector<uint8_t> FromHex(const std::string& hex);
std::string ToHex(const uint8_t* data, size_t size);

}  // namespace kernel_test
