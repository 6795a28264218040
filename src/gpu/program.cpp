#include "gpu/program.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>
#include <thread>
#include <vector>

#include "base/printer.h"
#include "gpu/cl_call.h"
#include "gpu/kernel_source.h"

namespace gpu {

const char* const kHashKernelNames[kHashKernelCount] = {"hash_blake", "hash_groestl", "hash_jh",
                                                        "hash_skein"};
namespace {
namespace fs = std::filesystem;

constexpr char kCacheMagic[8] = {'O', 'R', 'B', 'K', 'B', 'I', 'N', '1'};
constexpr const char* kSourceFile = "opencl/cryptonight.cl";
constexpr const char* kBinaryFile = "kernel.bin";

// FNV-1a, 64 bit: a cache key, not a security measure.
uint64_t Fnv1a(uint64_t hash, const void* data, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < size; ++i) {
    hash ^= bytes[i];
    hash *= 0x100000001B3ull;
  }
  return hash;
}

uint64_t Fnv1aField(uint64_t hash, std::string_view text) {
  // The length first, so that ("ab", "c") and ("a", "bc") differ.
  const uint64_t length = text.size();
  hash = Fnv1a(hash, &length, sizeof(length));
  return Fnv1a(hash, text.data(), text.size());
}

constexpr uint64_t kFnvBasis = 0xCBF29CE484222325ull;

struct CacheHeader {
  char magic[8];
  uint64_t key;
  uint64_t size;
  uint64_t checksum;
};

// The cached binary when the file exists, is whole and carries key.
bool LoadCachedBinary(const std::string& path, uint64_t key, std::vector<unsigned char>& binary) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  CacheHeader header{};
  if (!in.read(reinterpret_cast<char*>(&header), sizeof(header))) return false;
  if (std::memcmp(header.magic, kCacheMagic, sizeof(kCacheMagic)) != 0 || header.key != key ||
      header.size == 0 || header.size > (1ull << 30)) {
    return false;
  }
  binary.resize(header.size);
  if (!in.read(reinterpret_cast<char*>(binary.data()), static_cast<std::streamsize>(header.size)) ||
      in.peek() != std::char_traits<char>::eof()) {
    return false;
  }
  return Fnv1a(kFnvBasis, binary.data(), binary.size()) == header.checksum;
}

// Writes through a temporary file and a rename, so a reader never sees a
// half-written entry. A cache that cannot be written only costs a rebuild.
void StoreCachedBinary(const std::string& path, uint64_t key,
                       const std::vector<unsigned char>& binary) {
  std::error_code ec;
  fs::create_directories(fs::path(path).parent_path(), ec);
  const std::string temporary = path + ".tmp" + std::to_string(::getpid());
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    CacheHeader header{};
    std::memcpy(header.magic, kCacheMagic, sizeof(kCacheMagic));
    header.key = key;
    header.size = binary.size();
    header.checksum = Fnv1a(kFnvBasis, binary.data(), binary.size());
    out.write(reinterpret_cast<const char*>(&header), sizeof(header));
    out.write(reinterpret_cast<const char*>(binary.data()),
              static_cast<std::streamsize>(binary.size()));
    if (!out) {
      out.close();
      fs::remove(temporary, ec);
      return;
    }
  }
  fs::rename(temporary, path, ec);
  if (ec) fs::remove(temporary, ec);
}

base::status BuildLog(cl_program program, cl_device_id device, std::string& text) {
  size_t length = 0;
  base::status s =
      ClStatus(clGetProgramBuildInfo(program, device, CL_PROGRAM_BUILD_LOG, 0, nullptr, &length),
               "Error %s calling clGetProgramBuildInfo for length of build log output.");
  if (!s) return s;
  std::vector<char> log(length + 1, '\0');
  s = ClStatus(
      clGetProgramBuildInfo(program, device, CL_PROGRAM_BUILD_LOG, length, log.data(), nullptr),
      "Error %s calling clGetProgramBuildInfo for build log.");
  if (!s) return s;
  text = log.data();
  return s;
}

// The binary of a built one-device program; a failure is printed.
base::status ProgramBinary(cl_program program, bool verbose, std::vector<unsigned char>& binary) {
  cl_uint devices = 0;
  base::status s = ClStatus(
      clGetProgramInfo(program, CL_PROGRAM_NUM_DEVICES, sizeof(devices), &devices, nullptr),
      "Error %s clGetProgramInfo CL_PROGRAM_NUM_DEVICES");
  if (!s) return s;
  if (verbose) {
    char line[64];
    std::snprintf(line, sizeof(line), "binary kernels: %zi\n", static_cast<ssize_t>(devices));
    base::printer::inst().print_plain(line);
  }
  std::vector<size_t> sizes(std::max<cl_uint>(devices, 1), 0);
  s = ClStatus(clGetProgramInfo(program, CL_PROGRAM_BINARY_SIZES, sizes.size() * sizeof(size_t),
                                sizes.data(), nullptr),
               "Error %s clGetProgramInfo CL_PROGRAM_BINARY_SIZES");
  if (!s) return s;
  if (verbose) {
    char line[64];
    std::snprintf(line, sizeof(line), "binary kernel size: %zi\n", static_cast<ssize_t>(sizes[0]));
    base::printer::inst().print_plain(line);
  }
  std::vector<std::vector<unsigned char>> binaries(sizes.size());
  std::vector<unsigned char*> pointers(sizes.size());
  for (size_t i = 0; i < sizes.size(); ++i) {
    binaries[i].resize(sizes[i]);
    pointers[i] = binaries[i].data();
  }
  s = ClStatus(clGetProgramInfo(program, CL_PROGRAM_BINARIES,
                                pointers.size() * sizeof(unsigned char*), pointers.data(), nullptr),
               "Error %s clGetProgramInfo CL_PROGRAMM_BINARIES");
  if (!s) return s;
  binary = std::move(binaries[0]);
  return s;
}

// Program from a cached binary; false (quietly) when the driver refuses it.
bool ProgramFromBinary(const program_target& target, const std::vector<unsigned char>& binary,
                       cl_program_handle& built) {
  const unsigned char* data = binary.data();
  const size_t size = binary.size();
  cl_int binary_status = CL_SUCCESS;
  cl_int status = CL_SUCCESS;
  cl_program_handle program(clCreateProgramWithBinary(target.context, 1, &target.device, &size,
                                                      &data, &binary_status, &status));
  if (status != CL_SUCCESS || binary_status != CL_SUCCESS) return false;
  if (clBuildProgram(program, 1, &target.device, nullptr, nullptr, nullptr) != CL_SUCCESS) {
    return false;
  }
  built = std::move(program);
  return true;
}

// Builds source with options; prints the log when asked or on failure.
base::status BuildFromSource(const program_target& target, std::string_view source,
                             const std::string& options, bool always_print_log,
                             cl_program_handle& built) {
  const char* text = source.data();
  const size_t length = source.size();
  cl_int status = CL_SUCCESS;
  cl_program_handle program(
      clCreateProgramWithSource(target.context, 1, &text, &length, &status));
  if (base::status s = ClStatus(status, "Error %s calling clCreateProgramWithSource"); !s) return s;
  const cl_int build_status =
      clBuildProgram(program, 1, &target.device, options.c_str(), nullptr, nullptr);
  if (always_print_log || build_status != CL_SUCCESS) {
    std::string log;
    if (base::status s = BuildLog(program, target.device, log); !s) return s;
    base::printer::inst().print_plain(log);
  }
  if (base::status s = ClStatus(build_status, "Error %s calling clBuildProgram."); !s) return s;
  built = std::move(program);
  return base::status::ok();
}

// --buildkernel: the source file from the working directory, its binary
// written to kernel.bin.
base::status ProgramFromSourceFile(GpuContext& ctx) {
  std::ifstream in(kSourceFile, std::ios::binary);
  std::ostringstream text;
  if (in) text << in.rdbuf();
  if (!in || in.bad()) {
    return PrintedError(base::status_code::kNotFound, "Couldn't load GPU source.");
  }
  const std::string source = text.str();
  base::status s =
      BuildFromSource(TargetOf(ctx), source,
                      ProgramBuildOptions(ctx.work_size, ctx.opencl_c2, ctx.exact_fp32_divide),
                      true, ctx.program);
  if (!s) return s;
  // Some drivers finish builds in the background: wait until it is done.
  cl_build_status build = CL_BUILD_IN_PROGRESS;
  do {
    s = ClStatus(clGetProgramBuildInfo(ctx.program, ctx.device, CL_PROGRAM_BUILD_STATUS,
                                       sizeof(build), &build, nullptr),
                 "Error %s calling clGetProgramBuildInfo for status of build.");
    if (!s) return s;
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  } while (build == CL_BUILD_IN_PROGRESS);
  base::printer::inst().print_plain("Writting binary kernel\n");
  std::vector<unsigned char> binary;
  s = ProgramBinary(ctx.program, true, binary);
  if (!s) return s;
  std::ofstream out(kBinaryFile, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(binary.data()),
            static_cast<std::streamsize>(binary.size()));
  if (!out) base::printer::inst().print_error("Couldn't write %s.", kBinaryFile);
  return base::status::ok();
}

}  // namespace

std::string BuildOptions(uint64_t work_size, bool opencl_c2, bool exact_divide) {
  char options[192];
  std::snprintf(options, sizeof(options), "-I. -DWORKSIZE=%u %s%s",
                static_cast<unsigned>(work_size),
                opencl_c2 ? "-cl-std=CL2.0 -cl-uniform-work-group-size" : "-cl-std=CL1.2",
                exact_divide ? " -cl-fp32-correctly-rounded-divide-sqrt -DORBECK_EXACT_FP32_DIVIDE"
                             : "");
  return options;
}

std::string ProgramBuildOptions(uint64_t work_size, bool opencl_c2, bool exact_divide) {
  return BuildOptions(work_size, opencl_c2, exact_divide) + " " + KernelTableOptions();
}

bool HasExactFp32Divide(cl_device_id device) {
  cl_device_fp_config config = 0;
  return clGetDeviceInfo(device, CL_DEVICE_SINGLE_FP_CONFIG, sizeof(config), &config, nullptr) ==
             CL_SUCCESS &&
         (config & CL_FP_CORRECTLY_ROUNDED_DIVIDE_SQRT) != 0;
}

bool SupportsOpenClC2(const std::string& c_version) {
  return c_version.rfind("OpenCL C 2.", 0) == 0;
}

std::string ProgramCacheDir(const std::string& cache_root) {
  std::string root = cache_root;
  if (root.empty()) {
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    const char* home = std::getenv("HOME");
    if (xdg != nullptr && xdg[0] == '/') root = xdg;
    else if (home != nullptr && home[0] != '\0') root = std::string(home) + "/.cache";
    else return {};
  }
  return root + "/orbeck-vega";
}

program_target TargetOf(const GpuContext& ctx) {
  program_target target;
  target.context = ctx.context;
  target.device = ctx.device;
  target.ordinal = ctx.ordinal;
  target.device_name = ctx.device_name;
  target.driver_version = ctx.driver_version;
  target.platform_version = ctx.platform_version;
  target.cache_root = ctx.options.cache_root;
  return target;
}

std::string ProgramCachePath(const program_target& target, const std::string& suffix) {
  const std::string dir = ProgramCacheDir(target.cache_root);
  if (dir.empty()) return {};
  // One file per device and driver; the key inside tells whether it is
  // still the binary of the current source and options.
  std::string name;
  for (char c : target.device_name) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  if (name.size() > 48) name.resize(48);
  uint64_t hash = Fnv1aField(kFnvBasis, target.device_name);
  hash = Fnv1aField(hash, target.driver_version);
  hash = Fnv1aField(hash, target.platform_version);
  char file[96];
  std::snprintf(file, sizeof(file), "-%016llx", static_cast<unsigned long long>(hash));
  return dir + "/" + name + file + suffix + ".bin";
}

std::string ProgramCachePath(const GpuContext& ctx) { return ProgramCachePath(TargetOf(ctx), ""); }

uint64_t ProgramCacheKey(std::string_view source, const std::string& options,
                         const program_target& target) {
  uint64_t hash = Fnv1aField(kFnvBasis, source);
  hash = Fnv1aField(hash, options);
  hash = Fnv1aField(hash, target.device_name);
  hash = Fnv1aField(hash, target.driver_version);
  return Fnv1aField(hash, target.platform_version);
}

uint64_t ProgramCacheKey(std::string_view source, const std::string& options,
                         const GpuContext& ctx) {
  return ProgramCacheKey(source, options, TargetOf(ctx));
}

base::status BuildCachedProgram(const program_target& target, std::string_view source,
                                const std::string& options, const std::string& path,
                                const char* what, cl_program_handle& program, bool& from_cache) {
  from_cache = false;
  const uint64_t key = ProgramCacheKey(source, options, target);
  std::vector<unsigned char> binary;
  if (!path.empty() && LoadCachedBinary(path, key, binary) &&
      ProgramFromBinary(target, binary, program)) {
    from_cache = true;
    return base::status::ok();
  }
  base::printer::inst().print_leveled(base::kInfo, "GPU%u: compiling the %s for %s ...",
                                     target.ordinal, what, target.device_name.c_str());
  const auto start = std::chrono::steady_clock::now();
  if (base::status s = BuildFromSource(target, source, options, false, program); !s) return s;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  base::printer::inst().print_leveled(base::kInfo, "GPU%u: %s compiled in %.1f s",
                                     target.ordinal, what, seconds);
  if (!path.empty()) {
    // A binary that cannot be read back only costs a rebuild next time.
    binary.clear();
    if (ProgramBinary(program, false, binary) && !binary.empty()) {
      StoreCachedBinary(path, key, binary);
    }
  }
  return base::status::ok();
}

void PruneCachedBinaries(const std::string& path, const std::string& prefix, size_t keep) {
  std::error_code ec;
  const fs::path dir = fs::path(path).parent_path();
  std::vector<std::pair<fs::file_time_type, fs::path>> files;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.rfind(prefix, 0) != 0 || name.size() < 4 ||
        name.compare(name.size() - 4, 4, ".bin") != 0) {
      continue;
    }
    files.emplace_back(it->last_write_time(ec), it->path());
  }
  if (files.size() <= keep) return;
  std::sort(files.begin(), files.end());
  for (size_t i = 0; i + keep < files.size(); ++i) fs::remove(files[i].second, ec);
}

std::string_view KernelSource(const device_options& options) {
  return options.kernel_source.empty() ? embedded_kernel_source()
                                       : std::string_view(options.kernel_source);
}

base::status CreateProgram(GpuContext& ctx, bool build_kernel) {
  ctx.program_from_cache = false;
  if (build_kernel) return ProgramFromSourceFile(ctx);

  const std::string_view source = KernelSource(ctx.options);
  // The options carry the kernel table, so the key changes with it.
  const std::string options =
      ProgramBuildOptions(ctx.work_size, ctx.opencl_c2, ctx.exact_fp32_divide);
  return BuildCachedProgram(TargetOf(ctx), source, options, ProgramCachePath(ctx), "kernels",
                            ctx.program, ctx.program_from_cache);
}

namespace {

// A kernel the program does not contain is kNotFound, any other failure
// of clCreateKernel kDeviceError; the line printed is the same.
base::status CreateKernel(cl_program program, const char* name, cl_kernel_handle& kernel) {
  cl_int status = CL_SUCCESS;
  kernel = clCreateKernel(program, name, &status);
  base::status s = ClStatus(status, "Error %s calling clCreateKernel kernel %s.", name);
  if (status == CL_INVALID_KERNEL_NAME) {
    return base::status::error(base::status_code::kNotFound, s.message());
  }
  return s;
}

}  // namespace

base::status CreateKernels(GpuContext& ctx, GpuQueue& queue) {
  for (int i = 0; i < kQueueKernelCount; ++i) {
    // Made from the job's height group program (SetGpuJob).
    if (IsHeightKernel(i)) continue;
    base::status s = CreateKernel(ctx.program, kQueueKernelNames[i], queue.kernels[i]);
    if (!s) return s;
  }
  for (int i = 0; i < kHashKernelCount; ++i) {
    base::status s = CreateKernel(ctx.program, kHashKernelNames[i], queue.hash_kernels[i]);
    if (!s) return s;
  }
  return base::status::ok();
}

}  // namespace gpu
