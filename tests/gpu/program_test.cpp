#include "gpu/program.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "crypto/algorithm.h"
#include "gpu_test_util.h"

namespace {

using gpu_test::CapturedOutput;
using gpu_test::InitTestGpu;
using gpu_test::ReadFile;
using gpu_test::TempDir;
using gpu_test::WriteFile;

TEST(BuildOptions, FollowTheDeviceLanguageVersion) {
  EXPECT_EQ(gpu::BuildOptions(8, true),
            "-I. -DWORKSIZE=8 -cl-std=CL2.0 -cl-uniform-work-group-size");
  EXPECT_EQ(gpu::BuildOptions(8, false), "-I. -DWORKSIZE=8 -cl-std=CL1.2");
  EXPECT_TRUE(gpu::SupportsOpenClC2("OpenCL C 2.0 "));
  EXPECT_FALSE(gpu::SupportsOpenClC2("OpenCL C 1.2 PoCL"));
  EXPECT_FALSE(gpu::SupportsOpenClC2("OpenCL C 3.0"));
  EXPECT_FALSE(gpu::SupportsOpenClC2(""));
}

TEST(ProgramCache, LivesBelowXdgCacheHomeOrHome) {
  const char* saved_xdg = std::getenv("XDG_CACHE_HOME");
  const std::string xdg = saved_xdg != nullptr ? saved_xdg : "";
  setenv("XDG_CACHE_HOME", "/var/cache/user", 1);
  EXPECT_EQ(gpu::ProgramCacheDir(""), "/var/cache/user/orbeck-vega");
  setenv("XDG_CACHE_HOME", "relative/path", 1);  // not absolute: ignored
  const char* home = std::getenv("HOME");
  ASSERT_NE(home, nullptr);
  EXPECT_EQ(gpu::ProgramCacheDir(""), std::string(home) + "/.cache/orbeck-vega");
  EXPECT_EQ(gpu::ProgramCacheDir("/tmp/elsewhere"), "/tmp/elsewhere/orbeck-vega");
  if (saved_xdg != nullptr) setenv("XDG_CACHE_HOME", xdg.c_str(), 1);
  else unsetenv("XDG_CACHE_HOME");
}

TEST(ProgramCache, KeyCoversSourceOptionsDeviceDriverAndPlatform) {
  // The records own OpenCL objects and cannot be copied: each is made anew.
  const auto device = [](const char* name, const char* driver, const char* platform) {
    gpu::GpuContext ctx;
    ctx.device_name = name;
    ctx.driver_version = driver;
    std::snprintf(ctx.platform_version, sizeof(ctx.platform_version), "%s", platform);
    return ctx;
  };
  const gpu::GpuContext ctx = device("gfx900", "2527.0", "OpenCL 2.0 AMD-APP");
  const uint64_t key = gpu::ProgramCacheKey("source", "-DX", ctx);
  EXPECT_EQ(gpu::ProgramCacheKey("source", "-DX", ctx), key);
  EXPECT_NE(gpu::ProgramCacheKey("source2", "-DX", ctx), key);
  EXPECT_NE(gpu::ProgramCacheKey("source", "-DY", ctx), key);
  EXPECT_NE(gpu::ProgramCacheKey("source", "-DX", device("gfx901", "2527.0", "OpenCL 2.0 AMD-APP")), key);
  const gpu::GpuContext other = device("gfx900", "2530.0", "OpenCL 2.0 AMD-APP");
  EXPECT_NE(gpu::ProgramCacheKey("source", "-DX", other), key);
  EXPECT_NE(gpu::ProgramCachePath(other), gpu::ProgramCachePath(ctx));
  EXPECT_NE(gpu::ProgramCacheKey("source", "-DX", device("gfx900", "2527.0", "XpenCL 2.0 AMD-APP")), key);
}

class ProgramBuild : public ::testing::Test {
 protected:
  void SetUp() override {
    gpu_test::TestProgram().cache_root = cache_.path();
    gpu_test::TestProgram().kernel_source = gpu_test::MockKernelSource();
  }
  void TearDown() override {
    gpu_test::ReleaseTestGpu();
    gpu_test::TestProgram().kernel_source = "";
    gpu_test::TestProgram().cache_root = "";
  }
  // Initialises the first device; true when its program came from the cache.
  bool StartFromCache() {
    gpu_test::ReleaseTestGpu();
    CapturedOutput quiet;
    EXPECT_EQ(InitTestGpu(crypto::kCryptoNight, 16, 1), 0) << quiet.Take();
    return gpu_test::TestGpus()[0].program_from_cache;
  }
  TempDir cache_;
};

TEST_F(ProgramBuild, CacheHitStaleAndCorruptEntries) {
  EXPECT_FALSE(StartFromCache());  // empty cache: built and stored
  const std::string path = gpu::ProgramCachePath(gpu_test::TestGpus()[0]);
  EXPECT_EQ(path.rfind(cache_.path() + "/orbeck-vega/", 0), 0u) << path;
  ASSERT_TRUE(std::filesystem::exists(path));
  EXPECT_TRUE(StartFromCache());

  std::string entry = ReadFile(path);
  ASSERT_GT(entry.size(), 64u);
  entry[entry.size() / 2] ^= 0x5A;  // corrupt: checksum mismatch
  WriteFile(path, entry);
  EXPECT_FALSE(StartFromCache());
  EXPECT_TRUE(StartFromCache());  // rewritten whole

  WriteFile(path, ReadFile(path).substr(0, 40));  // truncated
  EXPECT_FALSE(StartFromCache());
  EXPECT_TRUE(StartFromCache());

  gpu_test::TestProgram().kernel_source = gpu_test::MockKernelSource() + "\n// changed\n";  // stale
  EXPECT_FALSE(StartFromCache());
  EXPECT_TRUE(StartFromCache());
}

TEST_F(ProgramBuild, AllKernelsAreCreatedByNameInOrder) {
  StartFromCache();
  const gpu::GpuQueue& queue = gpu_test::TestGpus()[0].queues[0];
  auto name_of = [](cl_kernel kernel) {
    char name[64] = {};
    clGetKernelInfo(kernel, CL_KERNEL_FUNCTION_NAME, sizeof(name) - 1, name, nullptr);
    return std::string(name);
  };
  for (int i = 0; i < gpu::kQueueKernelCount; ++i) {
    // The random loop's kernel waits for a job's height (its own program).
    if (gpu::IsHeightKernel(i)) {
      EXPECT_EQ(queue.kernels[i], nullptr) << i;
      continue;
    }
    ASSERT_NE(queue.kernels[i], nullptr);
    EXPECT_EQ(name_of(queue.kernels[i]), gpu::kQueueKernelNames[i]);
  }
  const char* hash_names[] = {"hash_blake", "hash_groestl", "hash_jh", "hash_skein"};
  for (int i = 0; i < gpu::kHashKernelCount; ++i) {
    EXPECT_EQ(name_of(queue.hash_kernels[i]), hash_names[i]);
  }
  EXPECT_STREQ(gpu::kQueueKernelNames[16], "cryptonight_main_v8");
  EXPECT_STREQ(gpu::kQueueKernelNames[15], "cryptonight_main_tube_heavy");
  EXPECT_STREQ(gpu::kQueueKernelNames[25], "cryptonight_main_upx2");
}

TEST_F(ProgramBuild, ABrokenSourcePrintsItsLogAndTheBuildFailure) {
  gpu_test::TestProgram().kernel_source = "__kernel void broken( { this is not OpenCL C }\n";
  CapturedOutput output;
  EXPECT_EQ(InitTestGpu(crypto::kCryptoNight, 16, 1), 2);
  const std::string text = output.Take();
  EXPECT_NE(text.find("error"), std::string::npos) << text;
  EXPECT_NE(text.find("] Error CL_BUILD_PROGRAM_FAILURE calling clBuildProgram.\n"),
            std::string::npos)
      << text;
  EXPECT_LT(text.find("error"), text.find("CL_BUILD_PROGRAM_FAILURE"));
}

// --buildkernel works in the current directory; each test gets its own.
class BuildKernel : public ProgramBuild {
 protected:
  void SetUp() override {
    ProgramBuild::SetUp();
    ASSERT_EQ(InitTestGpu(crypto::kCryptoNight, 16, 1), 0);
    gpu::GpuContext& ctx = gpu_test::TestGpus()[0];
    ctx.program.reset();
    saved_cwd_ = std::filesystem::current_path();
    std::filesystem::current_path(work_.path());
  }
  void TearDown() override {
    std::filesystem::current_path(saved_cwd_);
    ProgramBuild::TearDown();
  }
  TempDir work_;
  std::filesystem::path saved_cwd_;
};

TEST_F(BuildKernel, WithoutTheSourceFileStartUpStops) {
  CapturedOutput output;
  const base::status status = gpu::CreateProgram(gpu_test::TestGpus()[0], true);
  EXPECT_EQ(status.code(), base::status_code::kNotFound);
  EXPECT_EQ(status.message(), "Couldn't load GPU source.");
  EXPECT_NE(output.Take().find("] Couldn't load GPU source.\n"), std::string::npos);
}

TEST_F(BuildKernel, WritesTheBinaryOfTheSourceFile) {
  WriteFile("opencl/cryptonight.cl", gpu_test::MockKernelSource());
  CapturedOutput output;
  ASSERT_TRUE(gpu::CreateProgram(gpu_test::TestGpus()[0], true).is_ok());
  const std::string text = output.Take();
  const std::string binary = ReadFile("kernel.bin");
  ASSERT_FALSE(binary.empty());
  EXPECT_NE(text.find("Writting binary kernel\nbinary kernels: 1\nbinary kernel size: " +
                      std::to_string(binary.size()) + "\n"),
            std::string::npos)
      << text;
  EXPECT_FALSE(gpu_test::TestGpus()[0].program_from_cache);
  EXPECT_NE(gpu_test::TestGpus()[0].program, nullptr);
}

TEST_F(BuildKernel, AFailingSourceFilePrintsTheLogFirst) {
  WriteFile("opencl/cryptonight.cl", "__kernel void broken( {\n");
  CapturedOutput output;
  const base::status status = gpu::CreateProgram(gpu_test::TestGpus()[0], true);
  EXPECT_EQ(status.code(), base::status_code::kDeviceError);
  EXPECT_EQ(status.message(), "Error CL_BUILD_PROGRAM_FAILURE calling clBuildProgram.");
  const std::string text = output.Take();
  const size_t failure = text.find("] Error CL_BUILD_PROGRAM_FAILURE calling clBuildProgram.\n");
  ASSERT_NE(failure, std::string::npos) << text;
  EXPECT_LT(text.find("error"), failure) << text;
  EXPECT_FALSE(std::filesystem::exists("kernel.bin"));
}

}  // namespace
