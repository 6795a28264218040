#include "gpu_test_util.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "base/printer.h"
#include "crypto/algorithm.h"
#include "gpu/discovery.h"
#include "gpu/launch.h"
#include "gpu/reset.h"

namespace gpu_test {

CapturedOutput::CapturedOutput() : file_(std::tmpfile()) {
  base::printer::inst().set_console(file_, false);
}

CapturedOutput::~CapturedOutput() {
  base::printer::inst().set_console(stdout, false);
  std::fclose(file_);
}

std::string CapturedOutput::Take() {
  std::fflush(file_);
  std::string text;
  std::rewind(file_);
  char buffer[4096];
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof(buffer), file_)) > 0) text.append(buffer, got);
  // Start over for the next Take.
  if (ftruncate(fileno(file_), 0) != 0) text += "<truncate failed>";
  std::rewind(file_);
  return text;
}

TempDir::TempDir() {
  std::string pattern = std::string(ORBECK_BINARY_DIR) + "/gpu-test-XXXXXX";
  if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const std::string& path, const std::string& content) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

std::string MockKernelSource() { return ReadFile(std::string(ORBECK_GPU_TEST_DIR) + "/mock_kernels.cl"); }

std::string MockKernelCache() { return std::string(ORBECK_BINARY_DIR) + "/test-cache-mock"; }

program_settings& TestProgram() {
  static program_settings settings;
  return settings;
}

gpu::backend_options TestOptions(int32_t group_size, int32_t num_queues) {
  gpu::backend_options options;
  options.device.cache_root = TestProgram().cache_root;
  options.device.kernel_source = TestProgram().kernel_source;
  options.device.any_device = true;
  options.device.group_size = group_size;
  options.device.num_queues = num_queues;
  options.platform_index = -1;
  options.gpu_list = {0};
  return options;
}

int InitTestGpu(int32_t algorithm, int32_t group_size, int32_t num_queues,
                const gpu::cl_fault_injector& faults) {
  gpu::backend_options options = TestOptions(group_size, num_queues);
  options.device.inject_fault = faults;
  gpu::SelectedPlatform selected;
  if (!gpu::SelectPlatform(-1, true, selected)) return -1;
  const cl_platform_id platform = selected.id;
  std::vector<gpu::GpuContext>& contexts = TestGpus();
  contexts.clear();
  contexts.resize(1);
  contexts[0].platform = platform;
  contexts[0].intensity = -1;
  const base::status status = gpu::InitOpenCL(options.device, contexts.data(), 1,
                                              crypto::scratchpad_size(algorithm), false);
  return status.is_ok() ? 0 : static_cast<int>(status.code());
}

std::vector<gpu::GpuContext>& TestGpus() {
  static std::vector<gpu::GpuContext> gpus;
  return gpus;
}

void ReleaseTestGpu(std::vector<gpu::GpuContext>& gpus) {
  for (gpu::GpuContext& ctx : gpus) gpu::ReleaseGpu(ctx);
  gpus.clear();
}

}  // namespace gpu_test
