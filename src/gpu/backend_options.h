// The settings of the OpenCL backend, filled once by the program from its
// command line and configuration file and handed to the backend at
// construction (and to InitGpus). A plain value: the backend keeps its own
// copy, so the record may be changed or destroyed afterwards.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

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
  cl_fault_injector inject_fault;  // tests only: OpenCL failures on demand
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
  double temp_limit_c = 0;             // pause a GPU this hot, 0 = off
  double temp_resume_c = 0;            // resume it when this cool again
};

}  // namespace gpu
