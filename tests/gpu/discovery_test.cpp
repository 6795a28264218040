#include "gpu/discovery.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crypto/algorithm.h"
#include "gpu/cl_call.h"
#include "gpu/intensity.h"
#include "gpu/program.h"
#include "gpu_test_util.h"
#include "monitor/cl_info.h"
#include "monitor/gpu_monitor.h"

namespace {

using gpu::ChoosePlatform;
using gpu::PlatformInfo;

TEST(ChoosePlatform, TakesTheFirstAmdPlatform) {
  const std::vector<PlatformInfo> platforms = {
      {"OpenCL 3.0 PoCL 3.1+debian", 1},
      {"OpenCL 2.1 AMD-APP (3004.6)", 2},
      {"OpenCL 2.0 AMD-APP (2442.12)", 1},
  };
  EXPECT_EQ(ChoosePlatform(platforms, false), 1);
  EXPECT_EQ(ChoosePlatform(platforms, true), 1);
}

TEST(ChoosePlatform, WithoutAmdNeedsAnyDevice) {
  const std::vector<PlatformInfo> platforms = {
      {"OpenCL 3.0 CUDA 12.2.140", 0},
      {"OpenCL 3.0 PoCL 3.1+debian", 1},
      {"OpenCL 2.2 AMD-APP (3100.0)", 1},
  };
  EXPECT_EQ(ChoosePlatform(platforms, false), -1);
  EXPECT_EQ(ChoosePlatform(platforms, true), 1);  // the first one that has a device
  EXPECT_EQ(ChoosePlatform({{"OpenCL 3.0 X", 0}}, true), -1);
  EXPECT_EQ(ChoosePlatform({}, true), -1);
}

TEST(ChoosePlatform, AmdVersionPrefixIsExact) {
  EXPECT_TRUE(gpu::IsAmdPlatformVersion("OpenCL 2.0 AMD-APP (2442.12)"));
  EXPECT_TRUE(gpu::IsAmdPlatformVersion("OpenCL 2.1 AMD-APP"));
  EXPECT_FALSE(gpu::IsAmdPlatformVersion("OpenCL 2.2 AMD-APP (3100.0)"));
  EXPECT_FALSE(gpu::IsAmdPlatformVersion("OpenCL 1.2 AMD-APP (1800.8)"));
  EXPECT_FALSE(gpu::IsAmdPlatformVersion("opencl 2.0 amd-app"));
  EXPECT_FALSE(gpu::IsAmdPlatformVersion("OpenCL 2.0 AMD-AP"));
}

TEST(DeviceChecks, SupportedNamesAreExact) {
  for (const char* name : {"gfx900", "gfx901", "gfx902", "Ellesmere"}) {
    EXPECT_TRUE(gpu::IsSupportedDeviceName(name)) << name;
  }
  for (const char* name : {"gfx9001", "ellesmere", "gfx903", "gfx90", "", "Ellesmere "}) {
    EXPECT_FALSE(gpu::IsSupportedDeviceName(name)) << name;
  }
}

TEST(DeviceChecks, DriverVersionNumberIsTheLeadingInteger) {
  EXPECT_EQ(gpu::DriverVersionNumber("2482.3"), 2482u);
  EXPECT_EQ(gpu::DriverVersionNumber("2527.0 (PAL,HSAIL)"), 2527u);
  EXPECT_EQ(gpu::DriverVersionNumber("3.1+debian"), 3u);
  EXPECT_EQ(gpu::DriverVersionNumber("v2530"), 0u);
  EXPECT_EQ(gpu::DriverVersionNumber(""), 0u);
}

class OpenClStartup : public ::testing::Test {
 protected:
  void SetUp() override {
    options_ = gpu::backend_options{};
    options_.device.any_device = true;
    options_.platform_index = -1;
    options_.gpu_list = {0};
    options_.intensity_text = "-1";
    options_.algorithm = -1;
    options_.device.cache_root = gpu_test::MockKernelCache();
    options_.device.kernel_source = gpu_test::MockKernelSource();
  }
  void TearDown() override {
    gpu_test::ReleaseTestGpu();
    sensors_.shutdown();
  }

  gpu::backend_options options_;
  monitor::gpu_monitor sensors_;

  // Facts of the first device, read independently of the code under test.
  struct DeviceFacts {
    std::string platform_version, name;
    cl_uint compute_units = 0;
    cl_ulong memory = 0;
  };
  static DeviceFacts FirstDevice() {
    DeviceFacts facts;
    cl_platform_id platform = nullptr;
    cl_device_id device = nullptr;
    EXPECT_EQ(clGetPlatformIDs(1, &platform, nullptr), CL_SUCCESS);
    EXPECT_EQ(clGetDeviceIDs(platform, CL_DEVICE_TYPE_ALL, 1, &device, nullptr), CL_SUCCESS)
        << "an OpenCL device (PoCL in CI) is required";
    monitor::PlatformText(platform, CL_PLATFORM_VERSION, facts.platform_version, gpu::kFieldChars);
    monitor::DeviceText(device, CL_DEVICE_NAME, facts.name, gpu::kFieldChars);
    clGetDeviceInfo(device, CL_DEVICE_MAX_COMPUTE_UNITS, sizeof(cl_uint), &facts.compute_units,
                    nullptr);
    clGetDeviceInfo(device, CL_DEVICE_GLOBAL_MEM_SIZE, sizeof(cl_ulong), &facts.memory, nullptr);
    return facts;
  }
};

TEST_F(OpenClStartup, SelectPlatformRejectsIndicesThatDoNotExist) {
  gpu::SelectedPlatform selected{reinterpret_cast<cl_platform_id>(1), "stale"};
  base::status s = gpu::SelectPlatform(5, options_.device.any_device, selected);
  EXPECT_EQ(s, base::status::error(base::status_code::kNotFound,
                                   "Selected OpenCL platform index 5 doesn't exist."));
  EXPECT_EQ(selected.id, nullptr);
  EXPECT_EQ(selected.version, "");
  s = gpu::SelectPlatform(-2, options_.device.any_device, selected);
  EXPECT_EQ(s.message(), "Selected OpenCL platform index -2 doesn't exist.");
}

TEST_F(OpenClStartup, SelectPlatformByIndexReadsItsVersion) {
  gpu::SelectedPlatform selected;
  const base::status s = gpu::SelectPlatform(0, options_.device.any_device, selected);
  ASSERT_TRUE(s) << s.message();
  EXPECT_NE(selected.id, nullptr);
  EXPECT_EQ(selected.version, FirstDevice().platform_version);
}

TEST_F(OpenClStartup, AutoDetectWithoutAmdNeedsAnyDevice) {
  gpu::SelectedPlatform selected;
  options_.device.any_device = false;
  EXPECT_EQ(gpu::SelectPlatform(-1, options_.device.any_device, selected),
            base::status::error(
                base::status_code::kNotFound,
                "Could not autodetect AMD OpenCL plattform, please specifiy with --opencl=?"));
  EXPECT_EQ(selected.id, nullptr);
  options_.device.any_device = true;
  EXPECT_TRUE(gpu::SelectPlatform(-1, options_.device.any_device, selected));
  EXPECT_NE(selected.id, nullptr);
  EXPECT_EQ(selected.version, FirstDevice().platform_version);
}

TEST_F(OpenClStartup, InitGpusWithoutAmdPrintsTheErrorAndTheHint) {
  options_.device.any_device = false;
  gpu_test::CapturedOutput output;
  EXPECT_FALSE(gpu::InitGpus(options_, gpu_test::TestGpus(), sensors_));
  const std::string text = output.Take();
  EXPECT_NE(text.find("] Initializing GPU, loading kernel ...\n["), std::string::npos) << text;
  EXPECT_NE(text.find("] Could not autodetect AMD OpenCL plattform, please specifiy with "
                      "--opencl=?\n["),
            std::string::npos)
      << text;
  EXPECT_NE(text.find(std::string("] ") + gpu::kAnyDeviceHint + "\n"), std::string::npos) << text;
  EXPECT_NE(std::string(gpu::kAnyDeviceHint).find("--anydevice"), std::string::npos);
}

TEST_F(OpenClStartup, InitGpusPrintsPlatformAndBannerOnAnyDevice) {
  const DeviceFacts facts = FirstDevice();
  options_.fast_job_switch = true;
  options_.rate_watchdog = true;
  options_.algorithm = crypto::kCryptoNightLite;
  gpu_test::CapturedOutput output;
  ASSERT_TRUE(gpu::InitGpus(options_, gpu_test::TestGpus(), sensors_)) << output.Take();
  const std::string text = output.Take();
  EXPECT_NE(text.find("Detected OpenCL Platform: " + facts.platform_version + "\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("Fast job switching mode enabled.\nRate watchdog enabled.\n"),
            std::string::npos)
      << text;
  const gpu::GpuContext& ctx = gpu_test::TestGpus().at(0);
  const std::string banner = "GPU0:  (" + facts.name + ") | " +
                             std::to_string(facts.compute_units) + " Compute Units | Memory (MB): " +
                             std::to_string(facts.memory / 1048576) + " | Intensity: " +
                             std::to_string(ctx.intensity) + " / 10\n";
  EXPECT_NE(text.find(banner), std::string::npos) << text;
  EXPECT_EQ(text.find("Driver Version Warning."), std::string::npos) << text;
  EXPECT_EQ(ctx.setup_algorithm.load(), crypto::kCryptoNightLite);
  EXPECT_EQ(ctx.scratchpad_bytes, crypto::kScratchpadLight);
  EXPECT_EQ(ctx.device_class, gpu::kGenericDeviceClass);
  EXPECT_EQ(ctx.work_size, 8u);
  EXPECT_EQ(ctx.nonce_counter, 0u);
  EXPECT_EQ(std::string(ctx.platform_version), facts.platform_version);
  EXPECT_GE(ctx.queue_count, 1);
  EXPECT_EQ(ctx.queues[0].threads % 16, 0u);
  EXPECT_GT(ctx.queues[0].threads, 0u);
}

TEST_F(OpenClStartup, AnIntensityAboveTheTablesHighestLevelIsLoweredWithANotice) {
  options_.intensity_text = "12";  // a level of the 12 GB tables only
  options_.algorithm = crypto::kCryptoNightLite;
  gpu_test::CapturedOutput output;
  ASSERT_TRUE(gpu::InitGpus(options_, gpu_test::TestGpus(), sensors_)) << output.Take();
  const std::string text = output.Take();
  EXPECT_NE(text.find(" | Intensity: 10 / 10\n"), std::string::npos) << text;
  EXPECT_NE(text.find("] GPU0: intensity 12 is above this GPU's highest level 10: using 10\n"), std::string::npos)
      << text;
}

TEST_F(OpenClStartup, AMissingDeviceStopsBeforeAnyContextExists) {
  options_.gpu_list = {0, 5};
  gpu_test::CapturedOutput output;
  EXPECT_FALSE(gpu::InitGpus(options_, gpu_test::TestGpus(), sensors_));
  const std::string text = output.Take();
  EXPECT_NE(text.find("] Selected OpenCL device index 5 doesn't exist.\n\n"), std::string::npos)
      << text;
  ASSERT_EQ(gpu_test::TestGpus().size(), 2u);
  EXPECT_EQ(gpu_test::TestGpus()[0].context, nullptr);
  EXPECT_EQ(gpu_test::TestGpus()[1].context, nullptr);
}

TEST_F(OpenClStartup, WithoutAnyDeviceACpuDeviceIsNoGpu) {
  gpu::SelectedPlatform selected;
  ASSERT_TRUE(gpu::SelectPlatform(0, options_.device.any_device, selected));
  const cl_platform_id platform = selected.id;
  options_.device.any_device = false;
  std::vector<gpu::GpuContext>& contexts = gpu_test::TestGpus();
  contexts.clear();
  contexts.resize(1);
  contexts[0].platform = platform;
  gpu_test::CapturedOutput output;
  EXPECT_EQ(gpu::InitOpenCL(options_.device, contexts.data(), 1, crypto::kScratchpadNormal, false)
                .code(),
            base::status_code::kNotFound);
  EXPECT_NE(output.Take().find("] Selected OpenCL device index 0 doesn't exist.\n"),
            std::string::npos);
}

TEST_F(OpenClStartup, AnUnsupportedDeviceIsRefusedWithoutAnyDevice) {
  const DeviceFacts facts = FirstDevice();
  gpu::SelectedPlatform selected;
  ASSERT_TRUE(gpu::SelectPlatform(0, options_.device.any_device, selected));
  const cl_platform_id platform = selected.id;
  std::vector<gpu::GpuContext>& contexts = gpu_test::TestGpus();
  contexts.clear();
  contexts.resize(1);
  gpu::GpuContext& ctx = contexts[0];
  ASSERT_EQ(clGetDeviceIDs(platform, CL_DEVICE_TYPE_ALL, 1, &ctx.device, nullptr), CL_SUCCESS);
  ctx.options.any_device = false;
  gpu_test::CapturedOutput output;
  EXPECT_EQ(gpu::InitOpenCLGpu(ctx, false, true).code(), base::status_code::kUnsupported);
  const std::string text = output.Take();
  const std::string fragments = "GPU0: " + facts.name + " | " +
                                std::to_string(facts.compute_units) +
                                " Compute Units | Memory (MB): " +
                                std::to_string(facts.memory / 1048576) + "\n[";
  EXPECT_EQ(text.find(fragments), 0u) << text;
  EXPECT_NE(text.find("] This version only supports AMD RX Vega 56/64 and RX 470/480/570/580 GFX "
                      "cards. Sorry.\n\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\n\nMaybe an optimized version for your GPU is available.\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(ctx.program, nullptr);
}

}  // namespace
