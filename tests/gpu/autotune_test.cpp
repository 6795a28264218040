#include "gpu/autotune.h"

#include <gtest/gtest.h>

#include "crypto/algorithm.h"
#include "gpu/discovery.h"
#include "gpu/intensity.h"

namespace {

using gpu::FormatTuneStore;
using gpu::ParseTuneStore;
using gpu::tune_entry;
using gpu::tune_owner;
using gpu::tune_setting;

const tune_owner kOwner{"gfx900", "2766.4 (PAL,HSAIL)", "OpenCL 2.0 AMD-APP (2766.4)"};

TEST(TuneStore, EntriesOfSeveralAlgorithmsSurviveARoundTrip) {
  const std::map<int32_t, tune_entry> entries = {{0, {{1792, 2}, 2012.5}}, {10, {{896, 1}, 1800.0}}};
  const auto parsed = ParseTuneStore(FormatTuneStore(kOwner, entries), kOwner);
  ASSERT_EQ(parsed.size(), 2u);
  EXPECT_EQ(parsed.at(0).setting, (tune_setting{1792, 2}));
  EXPECT_DOUBLE_EQ(parsed.at(0).hash_rate, 2012.5);
  EXPECT_EQ(parsed.at(10).setting, (tune_setting{896, 1}));
}

TEST(TuneStore, AFileOfAnotherDeviceDriverOrPlatformIsIgnored) {
  const std::string text = FormatTuneStore(kOwner, {{2, {{512, 1}, 900.0}}});
  tune_owner device = kOwner, driver = kOwner, platform = kOwner;
  device.device = "gfx901";
  driver.driver = "2800.1 (PAL,HSAIL)";
  platform.platform = "OpenCL 2.1 AMD-APP (2800.1)";
  for (const tune_owner& other : {device, driver, platform}) {
    EXPECT_TRUE(ParseTuneStore(text, other).empty()) << other.device << " " << other.driver;
  }
  EXPECT_EQ(ParseTuneStore(text, kOwner).size(), 1u);
}

TEST(TuneStore, CorruptLinesAreSkippedAndTheRestKept) {
  const std::string header = FormatTuneStore(kOwner, {});
  const std::string text = header +
                           "algo 3 64 2 104.7\n"     // valid
                           "algo 99 64 1 5.0\n"      // no such algorithm
                           "algo -1 64 1 5.0\n"      // no such algorithm
                           "algo 4 40 1 5.0\n"       // not a multiple of 16
                           "algo 5 0 1 5.0\n"        // no hashes
                           "algo 6 64 3 5.0\n"       // three queues
                           "algo 7 64 1 5.0 x\n"     // trailing garbage
                           "algo 8 64\n"             // cut short
                           "\x01\xff garbage\n"
                           "algo 9 32 1 nan\n"       // no rate
                           "algo 10 128 1 7.5\n";    // valid
  const auto parsed = ParseTuneStore(text, kOwner);
  ASSERT_EQ(parsed.size(), 2u);
  EXPECT_EQ(parsed.at(3).setting, (tune_setting{64, 2}));
  EXPECT_EQ(parsed.at(10).setting, (tune_setting{128, 1}));
  EXPECT_TRUE(ParseTuneStore("", kOwner).empty());
  EXPECT_TRUE(ParseTuneStore("ORBKTUNE0\n" + text.substr(10), kOwner).empty());
  // A header cut off before the platform line holds nothing.
  EXPECT_TRUE(ParseTuneStore(header.substr(0, header.find("platform=")), kOwner).empty());
}

// A PoCL-like CPU device with 2 compute units and a discrete GPU.
gpu::GpuContext GenericDevice(cl_device_type type, uint32_t compute_units, uint64_t memory) {
  gpu::GpuContext ctx;
  ctx.device_class = gpu::kGenericDeviceClass;
  ctx.device_type = type;
  ctx.compute_units = compute_units;
  ctx.global_mem_bytes = memory;
  ctx.max_alloc_bytes = memory / 4;
  return ctx;
}

TEST(TuneCandidates, StartWithTheAutomaticSettingAndAreDistinctLaunchableSizes) {
  const uint64_t gib = 1ull << 30;
  for (const gpu::GpuContext& ctx :
       {GenericDevice(CL_DEVICE_TYPE_CPU, 2, 22 * gib), GenericDevice(CL_DEVICE_TYPE_GPU, 80, 16 * gib)}) {
    for (uint64_t size : {crypto::kScratchpadLight, crypto::kScratchpadNormal, crypto::kScratchpadHeavy}) {
      const gpu::GpuIntensityConfig table = gpu::DeviceIntensityTable(ctx, size);
      const auto candidates = gpu::TuneCandidates(ctx, size);
      ASSERT_GE(candidates.size(), 2u);
      EXPECT_EQ(candidates[0].hashes, table.hashes[table.default_level]);
      EXPECT_EQ(candidates[0].queues, table.queues[table.default_level]);
      bool two_queues = false;
      for (size_t i = 0; i < candidates.size(); ++i) {
        EXPECT_EQ(candidates[i].hashes % 16, 0u);
        EXPECT_GE(candidates[i].hashes, 16u);
        EXPECT_TRUE(candidates[i].queues == 1 || candidates[i].queues == 2);
        two_queues = two_queues || candidates[i].queues == 2;
        for (size_t j = 0; j < i; ++j) EXPECT_FALSE(candidates[i] == candidates[j]);
      }
      EXPECT_TRUE(two_queues);
    }
  }
}

}  // namespace
