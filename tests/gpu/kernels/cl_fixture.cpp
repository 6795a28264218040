#include "cl_fixture.h"

#include <sys/mman.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "crypto/algorithm.h"
#include "gpu/launch.h"
#include "gpu/kernel_source.h"
#include "gpu/program.h"
#include "gpu/random_source.h"

namespace kernel_test {

namespace {

double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::string DeviceString(cl_device_id device, cl_device_info what) {
  size_t size = 0;
  if (clGetDeviceInfo(device, what, 0, nullptr, &size) != CL_SUCCESS || size == 0) return "";
  std::string text(size, '\0');
  clGetDeviceInfo(device, what, size, text.data(), nullptr);
  text.resize(strnlen(text.c_str(), size));
  return text;
}

// A device index from the environment (scripts/device-check runs the tests
// on every device); unset means 0, anything but a small number is an error.
bool IndexFromEnvironment(const char* name, cl_uint* index, std::string* error) {
  const char* text = std::getenv(name);
  *index = 0;
  if (text == nullptr || *text == '\0') return true;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 10);
  if (*end != '\0' || *text == '-' || value > 255) {
    *error = std::string(name) + " is not a platform or device index: \"" + text + "\"";
    return false;
  }
  *index = static_cast<cl_uint>(value);
  return true;
}

}  // namespace

ClEnv::ClEnv() {
  cl_uint platform = 0;
  cl_uint device = 0;
  if (!IndexFromEnvironment("ORBECK_CL_PLATFORM", &platform, &error_) ||
      !IndexFromEnvironment("ORBECK_CL_DEVICE", &device, &error_)) {
    return;
  }
  cl_uint platforms = 0;
  if (clGetPlatformIDs(0, nullptr, &platforms) != CL_SUCCESS || platforms <= platform) {
    error_ = "no OpenCL platform " + std::to_string(platform);
    return;
  }
  std::vector<cl_platform_id> ids(platforms);
  clGetPlatformIDs(platforms, ids.data(), nullptr);
  cl_uint devices = 0;
  if (clGetDeviceIDs(ids[platform], CL_DEVICE_TYPE_ALL, 0, nullptr, &devices) != CL_SUCCESS ||
      devices <= device) {
    error_ = "no OpenCL device " + std::to_string(device) + " on platform " +
             std::to_string(platform);
    return;
  }
  std::vector<cl_device_id> device_ids(devices);
  clGetDeviceIDs(ids[platform], CL_DEVICE_TYPE_ALL, devices, device_ids.data(), nullptr);
  device_ = device_ids[device];
  cl_int status = CL_SUCCESS;
  context_ = clCreateContext(nullptr, 1, &device_, nullptr, nullptr, &status);
  if (status != CL_SUCCESS) {
    error_ = "clCreateContext failed: " + std::to_string(status);
    return;
  }
  queue_ = clCreateCommandQueue(context_, device_, 0, &status);
  if (status != CL_SUCCESS) error_ = "clCreateCommandQueue failed: " + std::to_string(status);
}

ClEnv::~ClEnv() {
  if (queue_ != nullptr) clReleaseCommandQueue(queue_);
  if (context_ != nullptr) clReleaseContext(context_);
}

std::string ClEnv::BuildOptions() const {
  return gpu::ProgramBuildOptions(8, OpenClC2(), gpu::HasExactFp32Divide(device_));
}

std::string ClEnv::RandomBuildOptions() const {
  return gpu::BuildOptions(8, OpenClC2(), gpu::HasExactFp32Divide(device_)) + " " +
         gpu::RandomKernelOptions();
}

bool ClEnv::OpenClC2() const {
  // "OpenCL C <major>.<minor> ..."
  const std::string version = DeviceString(device_, CL_DEVICE_OPENCL_C_VERSION);
  return version.size() > 9 && version.compare(0, 9, "OpenCL C ") == 0 && version[9] >= '2';
}

cl_program ClEnv::Build(const std::string& source, std::string* log, double* seconds,
                        const std::string* options) const {
  const char* text = source.c_str();
  const size_t length = source.size();
  cl_int status = CL_SUCCESS;
  cl_program program = clCreateProgramWithSource(context_, 1, &text, &length, &status);
  if (status != CL_SUCCESS) {
    *log = "clCreateProgramWithSource failed: " + std::to_string(status);
    return nullptr;
  }
  const auto start = std::chrono::steady_clock::now();
  const std::string chosen = options != nullptr ? *options : BuildOptions();
  status = clBuildProgram(program, 1, &device_, chosen.c_str(), nullptr, nullptr);
  if (seconds != nullptr) {
    *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  size_t size = 0;
  clGetProgramBuildInfo(program, device_, CL_PROGRAM_BUILD_LOG, 0, nullptr, &size);
  std::string text_log(size, '\0');
  if (size > 0) {
    clGetProgramBuildInfo(program, device_, CL_PROGRAM_BUILD_LOG, size, text_log.data(), nullptr);
  }
  *log = text_log.c_str();
  if (status != CL_SUCCESS) {
    *log = "clBuildProgram failed: " + std::to_string(status) + "\n" + *log;
    clReleaseProgram(program);
    return nullptr;
  }
  return program;
}

KernelChoice ChoiceFor(int algorithm) {
  // Ids without a row fall back to id 0, as the miner's default job does.
  const int id = algorithm >= 0 && algorithm < crypto::kAlgoCount ? algorithm : 0;
  gpu::KernelChoice indices;
  gpu::KernelsForAlgorithm(static_cast<uint32_t>(id), indices);
  return {gpu::kQueueKernelNames[indices.prepare], gpu::kQueueKernelNames[indices.main],
          gpu::kQueueKernelNames[indices.collect], indices.tweak_input,
          crypto::kAlgorithms[id].loop == crypto::loop_family::random,
          gpu::MainLocalSize(static_cast<uint32_t>(id)), crypto::scratchpad_size(id),
          gpu::MainItemsPerHash(static_cast<uint32_t>(id))};
}

const std::vector<std::string>& AllKernelNames() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> all(gpu::kQueueKernelNames.begin(), gpu::kQueueKernelNames.end());
    all.insert(all.end(), std::begin(gpu::kHashKernelNames), std::end(gpu::kHashKernelNames));
    return all;
  }();
  return names;
}

RoundRunner::RoundRunner(const ClEnv& env, cl_program program, size_t hashes,
                         uint32_t scratchpad_bytes)
    : env_(env), hashes_(hashes), scratchpad_bytes_(scratchpad_bytes) {
  cl_int status = CL_SUCCESS;
  const size_t half = hashes * scratchpad_bytes / 2;
  input_ = clCreateBuffer(env.context(), CL_MEM_READ_ONLY, 88, nullptr, &status);
  if (!Check(status, "input buffer")) return;
  states_ = clCreateBuffer(env.context(), CL_MEM_READ_WRITE, hashes * 200, nullptr, &status);
  if (!Check(status, "states buffer")) return;
  // ORBECK_KERNEL_HUGEPAGES=1 (timing experiments on CPU devices): the
  // scratchpads live in host memory advised for transparent huge pages.
  const char* huge = std::getenv("ORBECK_KERNEL_HUGEPAGES");
  if (huge != nullptr && huge[0] == '1') {
    constexpr size_t kHugePage = size_t{2} << 20;
    const size_t rounded = (half + kHugePage - 1) / kHugePage * kHugePage;
    for (void*& block : host_scratchpads_) {
      block = std::aligned_alloc(kHugePage, rounded);
      if (block != nullptr) madvise(block, rounded, MADV_HUGEPAGE);
    }
    scratchpad0_ = clCreateBuffer(env.context(), CL_MEM_READ_WRITE | CL_MEM_USE_HOST_PTR, half,
                                  host_scratchpads_[0], &status);
    if (!Check(status, "scratchpad buffer 0")) return;
    scratchpad1_ = clCreateBuffer(env.context(), CL_MEM_READ_WRITE | CL_MEM_USE_HOST_PTR, half,
                                  host_scratchpads_[1], &status);
    if (!Check(status, "scratchpad buffer 1")) return;
  } else {
    scratchpad0_ = clCreateBuffer(env.context(), CL_MEM_READ_WRITE | CL_MEM_HOST_NO_ACCESS, half,
                                  nullptr, &status);
    if (!Check(status, "scratchpad buffer 0")) return;
    scratchpad1_ = clCreateBuffer(env.context(), CL_MEM_READ_WRITE | CL_MEM_HOST_NO_ACCESS, half,
                                  nullptr, &status);
    if (!Check(status, "scratchpad buffer 1")) return;
  }
  for (int i = 0; i < 4; ++i) {
    branch_[i] =
        clCreateBuffer(env.context(), CL_MEM_READ_WRITE, hashes * 4 + 8, nullptr, &status);
    if (!Check(status, "branch buffer")) return;
  }
  output_ = clCreateBuffer(env.context(), CL_MEM_READ_WRITE, 1024, nullptr, &status);
  if (!Check(status, "output buffer")) return;
  run_ = clCreateBuffer(env.context(), CL_MEM_USE_HOST_PTR, 4, &run_flag_, &status);
  if (!Check(status, "run buffer")) return;
  for (const std::string& name : AllKernelNames()) {
    // The random loop's kernel comes from its height group's program (Round).
    const size_t index = kernels_.size();
    if (index < gpu::kQueueKernelNames.size() && gpu::IsHeightKernel(static_cast<int>(index))) {
      kernels_.push_back(nullptr);
      continue;
    }
    cl_kernel kernel = clCreateKernel(program, name.c_str(), &status);
    if (!Check(status, name.c_str())) return;
    kernels_.push_back(kernel);
  }
}

RoundRunner::~RoundRunner() {
  for (cl_kernel kernel : kernels_) {
    if (kernel != nullptr) clReleaseKernel(kernel);
  }
  if (random_kernel_ != nullptr) clReleaseKernel(random_kernel_);
  if (random_program_ != nullptr) clReleaseProgram(random_program_);
  for (cl_mem mem : {input_, states_, scratchpad0_, scratchpad1_, branch_[0], branch_[1],
                     branch_[2], branch_[3], output_, run_}) {
    if (mem != nullptr) clReleaseMemObject(mem);
  }
  for (void* block : host_scratchpads_) std::free(block);
}

bool RoundRunner::Check(cl_int status, const char* what) {
  if (status == CL_SUCCESS) return true;
  if (error_.empty()) error_ = std::string(what) + " failed: " + std::to_string(status);
  return false;
}

cl_kernel RoundRunner::RandomKernel(uint64_t height) {
  const uint64_t group = gpu::RandomGroupOf(height);
  if (random_kernel_ != nullptr && random_group_ == group) return random_kernel_;
  if (random_kernel_ != nullptr) clReleaseKernel(random_kernel_);
  if (random_program_ != nullptr) clReleaseProgram(random_program_);
  random_kernel_ = nullptr;
  const std::string source =
      gpu::RandomGroupSource(group) + std::string(gpu::embedded_kernel_source());
  const std::string options = env_.RandomBuildOptions();
  std::string log;
  random_program_ = env_.Build(source, &log, nullptr, &options);
  if (random_program_ == nullptr) {
    if (error_.empty()) error_ = "height group program: " + log;
    return nullptr;
  }
  cl_int status = CL_SUCCESS;
  random_kernel_ = clCreateKernel(random_program_, gpu::RandomKernelName(), &status);
  if (!Check(status, "height group kernel")) return nullptr;
  random_group_ = group;
  return random_kernel_;
}

cl_kernel RoundRunner::Kernel(const char* name) {
  const auto& names = AllKernelNames();
  for (size_t i = 0; i < names.size() && i < kernels_.size(); ++i) {
    if (names[i] == name) return kernels_[i];
  }
  return nullptr;
}

std::vector<uint32_t> RoundRunner::Round(int algorithm, const std::vector<uint8_t>& blob,
                                         uint32_t offset, uint32_t target, uint64_t height) {
  if (!error_.empty() || blob.size() > 84) {
    if (error_.empty()) error_ = "blob too long";
    return {};
  }
  const KernelChoice choice = ChoiceFor(algorithm);
  if (choice.scratchpad_bytes != scratchpad_bytes_) {
    error_ = "scratchpad size mismatch";
    return {};
  }
  uint8_t padded[88] = {};
  if (!blob.empty()) std::memcpy(padded, blob.data(), blob.size());
  padded[blob.size()] = 0x01;
  cl_command_queue q = env_.queue();
  const uint32_t zero = 0;
  if (!Check(clEnqueueWriteBuffer(q, input_, CL_TRUE, 0, 88, padded, 0, nullptr, nullptr),
             "input upload"))
    return {};
  for (cl_mem branch : branch_) {
    if (!Check(clEnqueueWriteBuffer(q, branch, CL_TRUE, hashes_ * 4, 4, &zero, 0, nullptr,
                                    nullptr),
               "branch counter"))
      return {};
  }
  if (!Check(clEnqueueWriteBuffer(q, output_, CL_TRUE, 1020, 4, &zero, 0, nullptr, nullptr),
             "output counter"))
    return {};

  cl_kernel prepare = Kernel(choice.prepare);
  cl_kernel main = choice.random_program ? RandomKernel(height) : Kernel(choice.main);
  if (main == nullptr) return {};
  cl_kernel collect = Kernel(choice.collect);
  bool ok = Check(clSetKernelArg(prepare, 0, sizeof(cl_mem), &input_), "prepare arg") &&
            Check(clSetKernelArg(prepare, 1, sizeof(cl_mem), &scratchpad0_), "prepare arg") &&
            Check(clSetKernelArg(prepare, 2, sizeof(cl_mem), &scratchpad1_), "prepare arg") &&
            Check(clSetKernelArg(prepare, 3, sizeof(cl_mem), &states_), "prepare arg") &&
            Check(clSetKernelArg(prepare, 4, sizeof(cl_mem), &run_), "prepare arg") &&
            Check(clSetKernelArg(main, 0, sizeof(cl_mem), &scratchpad0_), "main arg") &&
            Check(clSetKernelArg(main, 1, sizeof(cl_mem), &scratchpad1_), "main arg") &&
            Check(clSetKernelArg(main, 2, sizeof(cl_mem), &states_), "main arg") &&
            Check(clSetKernelArg(main, 3, sizeof(cl_mem), &run_), "main arg");
  if (ok && choice.tweak_input) {
    uint64_t input35 = 0;
    std::memcpy(&input35, padded + 35, 8);
    ok = Check(clSetKernelArg(main, 4, sizeof(input35), &input35), "main input35");
  }
  if (ok && choice.random_program) {
    const cl_uint slot = gpu::RandomSlotOf(height);
    ok = Check(clSetKernelArg(main, 4, sizeof(slot), &slot), "main slot");
  }
  ok = ok && Check(clSetKernelArg(collect, 0, sizeof(cl_mem), &scratchpad0_), "collect arg") &&
       Check(clSetKernelArg(collect, 1, sizeof(cl_mem), &scratchpad1_), "collect arg") &&
       Check(clSetKernelArg(collect, 2, sizeof(cl_mem), &states_), "collect arg");
  for (cl_uint i = 0; ok && i < 4; ++i) {
    ok = Check(clSetKernelArg(collect, 3 + i, sizeof(cl_mem), &branch_[i]), "collect arg");
  }
  ok = ok && Check(clSetKernelArg(collect, 7, sizeof(cl_mem), &run_), "collect arg");
  const char* finals[4] = {"hash_blake", "hash_groestl", "hash_jh", "hash_skein"};
  for (int i = 0; ok && i < 4; ++i) {
    cl_kernel k = Kernel(finals[i]);
    ok = Check(clSetKernelArg(k, 0, sizeof(cl_mem), &states_), "final arg") &&
         Check(clSetKernelArg(k, 1, sizeof(cl_mem), &branch_[i]), "final arg") &&
         Check(clSetKernelArg(k, 2, sizeof(cl_mem), &output_), "final arg") &&
         Check(clSetKernelArg(k, 3, sizeof(target), &target), "final arg");
  }
  if (!ok) return {};

  const size_t offset2[2] = {offset, 0};
  const size_t global2[2] = {hashes_, 8};
  const size_t local2[2] = {8, 8};
  const size_t offset1 = offset;
  const size_t global1 = hashes_;
  const size_t main_local = choice.main_local;
  const size_t main_offset = offset1 * choice.main_items;
  const size_t main_global = global1 * choice.main_items;
  const size_t final_local = 8;
  // Waits for the queue when timing and returns the seconds since `since`;
  // the process CPU seconds since the last lap go to *cpu.
  double cpu_mark = ProcessCpuSeconds();
  auto lap = [&](std::chrono::steady_clock::time_point& since, double* cpu) {
    if (!timed_) return 0.0;
    clFinish(q);
    const auto now = std::chrono::steady_clock::now();
    const double seconds = std::chrono::duration<double>(now - since).count();
    since = now;
    const double cpu_now = ProcessCpuSeconds();
    *cpu = cpu_now - cpu_mark;
    cpu_mark = cpu_now;
    return seconds;
  };
  auto clock = std::chrono::steady_clock::now();
  ok = Check(clEnqueueNDRangeKernel(q, prepare, 2, offset2, global2, local2, 0, nullptr, nullptr),
             "prepare launch");
  times_.prepare = lap(clock, &cpu_times_.prepare);
  ok = ok && Check(clEnqueueNDRangeKernel(q, main, 1, &main_offset, &main_global, &main_local, 0,
                                          nullptr, nullptr),
                   "main launch");
  times_.main = lap(clock, &cpu_times_.main);
  ok = ok && Check(clEnqueueNDRangeKernel(q, collect, 2, offset2, global2, local2, 0, nullptr,
                                          nullptr),
                   "collect launch");
  times_.collect = lap(clock, &cpu_times_.collect);
  for (int i = 0; ok && i < 4; ++i) {
    ok = Check(clEnqueueNDRangeKernel(q, Kernel(finals[i]), 1, &offset1, &global1, &final_local,
                                      0, nullptr, nullptr),
               "final launch");
  }
  times_.finals = lap(clock, &cpu_times_.finals);
  uint32_t results[256] = {};
  ok = ok && Check(clEnqueueReadBuffer(q, output_, CL_TRUE, 0, sizeof(results), results, 0,
                                       nullptr, nullptr),
                   "result read");
  if (!ok) return {};
  last_count_ = results[255];
  const uint32_t count = results[255] < 255 ? results[255] : 255;
  return std::vector<uint32_t>(results, results + count);
}

std::vector<uint32_t> RoundRunner::BranchCounts() {
  std::vector<uint32_t> counts(4, 0);
  for (int i = 0; i < 4; ++i) {
    Check(clEnqueueReadBuffer(env_.queue(), branch_[i], CL_TRUE, hashes_ * 4, 4, &counts[i], 0,
                              nullptr, nullptr),
          "branch read");
  }
  return counts;
}

std::vector<uint64_t> RoundRunner::ReadStates() {
  std::vector<uint64_t> states(hashes_ * 25);
  Check(clEnqueueReadBuffer(env_.queue(), states_, CL_TRUE, 0, hashes_ * 200, states.data(), 0,
                            nullptr, nullptr),
        "states read");
  return states;
}

std::vector<uint8_t> FromHex(const std::string& hex) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

std::string ToHex(const uint8_t* data, size_t size) {
  static const char* kDigits = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < size; ++i) {
    text += kDigits[data[i] >> 4];
    text += kDigits[data[i] & 15];
  }
  return text;
}

}  // namespace kernel_test
