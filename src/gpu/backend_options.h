// The settings of the OpenCL backend, filled once by the program from its
// command line and configuration file and handed to the backend at
// construction (and to InitGpus). A plain value: the backend keeps its own
// copy, so the record may be changed or destroyed afterwards.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "core/mining_backend.h"

namespace gpu {

// Steps of a GPU's (re-)initialisation at which a test can make OpenCL fail.
enum class cl_step { create_context, create_command_queue };
// Test seam: the OpenCL code (an int32_t cl_int) with which `step` fails on
// the GPU of `ordinal`, or 0 (CL_SUCCESS) to run the real call. Empty in the
// program. Called on whichever thread sets the GPU up.
using cl_fault_injector = std::function<int32_t(cl_step step, uint32_t ordinal)>;

// What the (re-)initialisation of one GPU reads; each GPU record keeps a
// copy (GpuContext::options), so a reset on a mining thread needs nothing
// else.
struct device_options {
  bool any_device = false;  // every OpenCL device, not only the supported AMD chips
  bool max_mem = false;     // the table's memory-hungry level
  int32_t group_size = 0;   // hashes per round overriding the table, 0 = table
  int32_t num_queues = 0;   // queue count with group_size, 0 = not given
  // Root of the program binary cache (<root>/orbeck-vega/); empty:
  // $XDG_CACHE_HOME, else ~/.cache.
  std::string cache_root;
  // A kernel source built instead of the embedded one (tests); empty: the
  // embedded source.
  std::string kernel_source;
  cl_fault_injector inject_fault;  // tests only: OpenCL failures on demand
};

// What a GPU's known-answer round must report (self_test.h): the target and
// the passing nonces, ascending.
struct self_test_answer {
  uint32_t target;
  std::vector<uint32_t> nonces;
};

struct backend_options {
  device_options device;
  int32_t platform_index = -1;         // OpenCL platform, -1 = auto detect
  std::vector<uint32_t> gpu_list{0};   // device ordinals to mine on, in order
  std::string intensity_text = "-1";   // per-GPU levels (ParseIntensity)
  int32_t algorithm = -1;              // set up for at start, -1 = the first
  bool build_kernel = false;           // rebuild programs, ignoring the binary cache
  bool fast_job_switch = false;        // abort running rounds on a new job
  bool rate_watchdog = false;          // reset a GPU whose hash rate dropped
  bool no_self_test = false;           // mine without verifying the kernels
  // Answers that replace the table's for these algorithm ids (tests make a
  // GPU refuse an algorithm with a wrong one).
  std::map<int32_t, self_test_answer> self_test_answers;
  double temp_limit_c = 0;             // pause a GPU this hot, 0 = off
  double temp_resume_c = 0;            // resume it when this cool again
  core::nonce_slots nonces;            // shared with CPU threads mining beside the GPUs
  std::string sysfs_root = "/sys";     // where the sensors are read (a fake tree in tests)
  // --autotune: seconds each setting is measured (0: 4 s), and at most this
  // many settings per GPU and algorithm (0: every candidate).
  double autotune_seconds = 0;
  size_t autotune_candidates = 0;
  // A GPU's OpenCL context is made anew, between two jobs, once it has built
  // this many cn/r height programs: drivers keep memory per program built
  // even after its release, and hand it back with the context. 0 = never.
  uint32_t height_builds_per_context = 64;
};

}  // namespace gpu
