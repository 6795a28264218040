// Helpers of the GPU tests: captured console output, temporary folders and
// a GPU record initialised on the first OpenCL device (PoCL in CI) with
// --anydevice. Test-thread only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "gpu/backend_options.h"
#include "gpu/gpu_context.h"

namespace gpu_test {

// Redirects the printer to a temporary file until Take() or destruction.
class CapturedOutput {
 public:
  CapturedOutput();
  ~CapturedOutput();
  std::string Take();  // everything printed since construction or last Take

 private:
  FILE* file_;
};

// A fresh folder below the build tree, removed on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);

// Source of the stand-in kernels (tests/gpu/mock_kernels.cl).
std::string MockKernelSource();
// The program cache for the mock kernels: apart from the real kernels'
// shared cache, whose one file per device a mock build would replace.
std::string MockKernelCache();

// The program settings TestOptions puts into the device options; fixtures
// set them in SetUp (test thread only).
struct program_settings {
  std::string cache_root;     // empty: the user's cache
  std::string kernel_source;  // empty: the embedded kernels
};
program_settings& TestProgram();

// Options with any_device, gpu_list {0}, TestProgram()'s settings and the
// given group size and queue count (0: the intensity table's).
gpu::backend_options TestOptions(int32_t group_size = 0, int32_t num_queues = 0);

// The GPU records of the tests that drive a GPU without a backend.
std::vector<gpu::GpuContext>& TestGpus();

// Initialises TestGpus()[0] with TestOptions(group_size, num_queues) for
// the scratchpad of algorithm through InitOpenCL on the auto-detected
// platform. Returns 0 when InitOpenCL succeeded, -1 without a platform,
// else InitOpenCL's status code as a number; output goes to the printer
// (capture it if needed). `faults` becomes the record's fault seam.
int InitTestGpu(int32_t algorithm, int32_t group_size, int32_t num_queues,
                const gpu::cl_fault_injector& faults = {});
// Releases the OpenCL objects of the records and empties the array.
void ReleaseTestGpu(std::vector<gpu::GpuContext>& gpus = TestGpus());

}  // namespace gpu_test
