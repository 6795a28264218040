#include "gpu/intensity.h"

#include <gtest/gtest.h>

#include <string>

#include "crypto/algorithm.h"
#include "gpu_test_util.h"

namespace {

using gpu::ChooseIntensity;
using gpu::GpuIntensityConfig;
using gpu::IntensityInputs;
using gpu::IntensityTable;

constexpr uint64_t kNormal = crypto::kScratchpadNormal;
constexpr uint64_t kLight = crypto::kScratchpadLight;
constexpr uint64_t kHeavy = crypto::kScratchpadHeavy;

// "default,maxmem,old: q x h, ..." for comparison with the published tables.
std::string Describe(const GpuIntensityConfig& table) {
  std::string text = std::to_string(table.default_level) + "," +
                     std::to_string(table.max_memory_level) + "," +
                     std::to_string(table.old_driver_level) + ":";
  for (size_t i = 0; i < table.hashes.size(); ++i) {
    text += " " + std::to_string(table.queues[i]) + "x" + std::to_string(table.hashes[i]);
  }
  return text;
}

TEST(IntensityTable, NormalTablesHoldTheirEntries) {
  const std::string class0 =
      "10,10,0: 1x1792 2x896 1x2304 2x1152 1x2688 1x3584 2x1664 2x1792 2x1856 2x1920 2x1984 "
      "2x2688 2x3456";
  const std::string class12 =
      "1x1792 2x896 1x2304 2x1152 1x2688 1x3584 2x1664 2x1792 2x1856 2x1920 2x1984";
  EXPECT_EQ(Describe(IntensityTable(0, kNormal)), class0);
  EXPECT_EQ(Describe(IntensityTable(1, kNormal)), "7,10,0: " + class12);
  EXPECT_EQ(Describe(IntensityTable(2, kNormal)), "7,10,0: " + class12);
  EXPECT_EQ(Describe(IntensityTable(3, kNormal)),
            "6,6,0: 1x64 1x96 1x128 2x64 1x176 1x192 2x96 1x224 2x112 1x256 2x128");
  const std::string class46 =
      "7,9,0: 2x512 1x1792 2x768 2x896 2x960 2x1152 2x1536 2x1664 2x1728 2x1792 2x1856";
  EXPECT_EQ(Describe(IntensityTable(4, kNormal)), class46);
  EXPECT_EQ(Describe(IntensityTable(6, kNormal)), class46);
  const std::string class57 =
      "8,9,3: 1x768 1x896 1x960 2x512 1x1792 2x640 2x704 2x768 2x832 2x896 2x960";
  EXPECT_EQ(Describe(IntensityTable(5, kNormal)), class57);
  EXPECT_EQ(Describe(IntensityTable(7, kNormal)), class57);
}

TEST(IntensityTable, LightTablesHoldTheirEntries) {
  EXPECT_EQ(Describe(IntensityTable(0, kLight)),
            "9,10,0: 1x3584 2x1792 1x7168 2x2304 2x2688 2x3456 2x3520 2x3584 2x3840 2x3968 "
            "2x5248 2x5312 2x6912");
  const std::string class12 =
      "1x3584 2x1792 1x7168 2x2304 2x2688 2x3456 2x3520 2x3584 2x3840 2x3968 2x4032";
  EXPECT_EQ(Describe(IntensityTable(1, kLight)), "7,9,0: " + class12);
  EXPECT_EQ(Describe(IntensityTable(2, kLight)), "6,10,0: " + class12);
  EXPECT_EQ(Describe(IntensityTable(3, kLight)),
            "7,7,0: 2x64 1x128 1x192 1x256 2x96 2x128 1x160 1x176 2x176 2x192 1x384");
  EXPECT_EQ(Describe(IntensityTable(4, kLight)),
            "6,10,2: 1x1792 2x896 2x1024 2x1792 2x1856 2x2112 2x2304 2x2688 2x2944 2x3072 "
            "2x3456");
  EXPECT_EQ(Describe(IntensityTable(5, kLight)),
            "8,10,2: 2x896 2x1024 2x1472 2x1536 2x1600 2x1664 2x1728 2x1792 2x1824 2x1856");
  EXPECT_EQ(Describe(IntensityTable(6, kLight)), Describe(IntensityTable(4, kLight)));
  EXPECT_EQ(Describe(IntensityTable(7, kLight)), Describe(IntensityTable(5, kLight)));
}

TEST(IntensityTable, HeavyTablesHoldTheirEntries) {
  EXPECT_EQ(Describe(IntensityTable(0, kHeavy)),
            "7,8,0: 2x832 1x1536 1x1664 2x896 1x1792 2x960 1x1856 1x1920 1x2016 2x1536 2x1792 "
            "2x1856 2x1920");
  EXPECT_EQ(Describe(IntensityTable(1, kHeavy)),
            "7,9,0: 1x1472 2x832 1x1536 2x864 1x1664 2x896 1x1728 1x1792 1x1856 1x1920 1x1984");
  EXPECT_EQ(Describe(IntensityTable(2, kHeavy)),
            "8,8,0: 1x1344 1x1536 1x1664 1x1728 2x768 1x1792 2x832 2x864 2x896 2x960 2x992");
  EXPECT_EQ(Describe(IntensityTable(3, kHeavy)),
            "6,6,0: 1x64 1x96 1x128 2x64 1x144 1x160 1x176 2x96 1x192 1x224 1x256");
  EXPECT_EQ(Describe(IntensityTable(4, kHeavy)),
            "9,10,0: 2x384 1x768 1x896 1x1024 1x1536 1x1728 2x704 2x768 2x832 2x896 2x960");
  EXPECT_EQ(Describe(IntensityTable(5, kHeavy)),
            "8,10,0: 2x384 1x704 2x416 1x768 1x800 1x832 2x448 2x480 1x896 1x928 1x960");
}

TEST(IntensityTable, AnOddListPrintsAnErrorAndDropsTheLastNumber) {
  gpu_test::CapturedOutput output;
  const GpuIntensityConfig table(1, 2, 0, {1, 64, 2, 128, 1});
  EXPECT_EQ(Describe(table), "1,2,0: 1x64 2x128");
  EXPECT_EQ(table.highest_level(), 1);
  const std::string text = output.Take();
  EXPECT_NE(text.find("] GpuIntensityConfig: intensities not even\n"), std::string::npos) << text;
}

TEST(IntensityTable, TwoMebibytesIsTheNormalTableForOtherSizes) {
  EXPECT_EQ(&IntensityTable(1, 0x300000), &IntensityTable(1, kNormal));
  EXPECT_EQ(&IntensityTable(1, 0), &IntensityTable(1, kNormal));
}

TEST(DeviceClass, FollowsNameComputeUnitsAndMemory) {
  EXPECT_EQ(gpu::DeviceClass(false, 64, 16368), 0);
  EXPECT_EQ(gpu::DeviceClass(false, 64, 12000), 0);
  EXPECT_EQ(gpu::DeviceClass(false, 64, 11999), 1);
  EXPECT_EQ(gpu::DeviceClass(false, 25, 8176), 1);
  EXPECT_EQ(gpu::DeviceClass(false, 56, 8176), 2);
  EXPECT_EQ(gpu::DeviceClass(false, 24, 8176), 3);
  EXPECT_EQ(gpu::DeviceClass(false, 11, 2048), 3);
  EXPECT_EQ(gpu::DeviceClass(true, 36, 8192), 4);
  EXPECT_EQ(gpu::DeviceClass(true, 36, 8000), 4);
  EXPECT_EQ(gpu::DeviceClass(true, 36, 7999), 5);
  EXPECT_EQ(gpu::DeviceClass(true, 32, 8192), 6);
  EXPECT_EQ(gpu::DeviceClass(true, 32, 4096), 7);
  EXPECT_EQ(gpu::DeviceClass(true, 56, 16000), 6);
}

TEST(IntensityForGpu, ReadsCommaSeparatedLevels) {
  EXPECT_EQ(gpu::ParseIntensity("8", 0), 8);
  EXPECT_EQ(gpu::ParseIntensity("8", 2), 8);
  EXPECT_EQ(gpu::ParseIntensity("8,9", 0), 8);
  EXPECT_EQ(gpu::ParseIntensity("8,9", 1), 9);
  EXPECT_EQ(gpu::ParseIntensity("8,9", 2), -1);
  EXPECT_EQ(gpu::ParseIntensity("-1", 0), -1);
  EXPECT_EQ(gpu::ParseIntensity("", 0), -1);
  EXPECT_EQ(gpu::ParseIntensity("x", 0), -1);
  EXPECT_EQ(gpu::ParseIntensity("5,x,7", 0), 5);   // reading stops at "x": one number
  EXPECT_EQ(gpu::ParseIntensity("5,x,7", 1), 5);
  EXPECT_EQ(gpu::ParseIntensity("3,,4", 1), 3);
  EXPECT_EQ(gpu::ParseIntensity("3,4,", 1), 4);
  EXPECT_EQ(gpu::ParseIntensity("1,2,3", 2), 3);
  EXPECT_EQ(gpu::ParseIntensity("8,9", 0), 8);
  EXPECT_EQ(gpu::ParseIntensity("8,9", 1), 9);
  EXPECT_EQ(gpu::ParseIntensity("8,9", 2), -1);
}

IntensityInputs Rx480(int32_t level, bool large_pages, bool max_mem) {
  IntensityInputs in;
  in.level = level;
  in.is_ellesmere = true;
  in.driver_number = 2482;
  in.large_pages = large_pages;
  in.max_mem = max_mem;
  return in;
}

TEST(ChooseIntensity, EllesmereAutoLevelDependsOnDriverAndLargePages) {
  const int32_t klass = gpu::DeviceClass(true, 36, 8192);
  ASSERT_EQ(klass, 4);
  const GpuIntensityConfig& table = IntensityTable(klass, kNormal);
  auto c = ChooseIntensity(table, Rx480(-1, true, false));
  EXPECT_EQ(c.level, 7);
  EXPECT_EQ(c.queue_count, 2);
  EXPECT_EQ(c.hashes, 1664u);
  c = ChooseIntensity(table, Rx480(-1, true, true));
  EXPECT_EQ(c.level, 9);
  EXPECT_EQ(c.hashes, 1792u);
  c = ChooseIntensity(table, Rx480(-1, false, false));
  EXPECT_EQ(c.level, 0);
  EXPECT_EQ(c.queue_count, 2);
  EXPECT_EQ(c.hashes, 512u);
  IntensityInputs old = Rx480(-1, true, false);
  old.driver_number = 2481;
  EXPECT_EQ(ChooseIntensity(table, old).level, 0);
  old.blockchain_driver = true;
  EXPECT_EQ(ChooseIntensity(table, old).level, 7);
}

TEST(ChooseIntensity, OtherChipsFollowTheNewDriverFlag) {
  const int32_t klass = gpu::DeviceClass(false, 56, 8176);
  ASSERT_EQ(klass, 2);
  IntensityInputs vega56;
  vega56.new_driver = true;
  vega56.driver_number = 2530;
  auto c = ChooseIntensity(IntensityTable(klass, kHeavy), vega56);
  EXPECT_EQ(c.level, 8);
  EXPECT_EQ(c.queue_count, 2);
  EXPECT_EQ(c.hashes, 896u);
  vega56.new_driver = false;
  EXPECT_EQ(ChooseIntensity(IntensityTable(klass, kHeavy), vega56).level, 0);
  vega56.max_mem = true;
  vega56.blockchain_driver = true;
  EXPECT_EQ(ChooseIntensity(IntensityTable(klass, kNormal), vega56).level, 10);
}

TEST(ChooseIntensity, LevelsAboveTheTableAreLowered) {
  IntensityInputs in;
  in.level = 12;
  auto c = ChooseIntensity(IntensityTable(0, kNormal), in);
  EXPECT_EQ(c.level, 12);
  EXPECT_EQ(c.hashes, 3456u);
  EXPECT_EQ(c.highest_level, 12);
  for (int32_t klass = 1; klass < 8; ++klass) {
    const GpuIntensityConfig& table = IntensityTable(klass, kNormal);
    c = ChooseIntensity(table, in);
    EXPECT_EQ(c.level, 10) << klass;
    EXPECT_EQ(c.hashes, table.hashes.back()) << klass;
  }
}

TEST(ChooseIntensity, MaxMemoryLevelBeyondATenEntryTableUsesTheLastEntry) {
  IntensityInputs in;
  in.is_ellesmere = true;
  in.blockchain_driver = true;
  in.max_mem = true;
  const auto c = ChooseIntensity(IntensityTable(5, kLight), in);
  EXPECT_EQ(c.level, 10);
  EXPECT_EQ(c.highest_level, 9);
  EXPECT_EQ(c.queue_count, 2);
  EXPECT_EQ(c.hashes, 1856u);
}

TEST(ChooseIntensity, NegativeLevelsOtherThanAutoUseTheFirstEntry) {
  IntensityInputs in;
  in.level = -3;
  const auto c = ChooseIntensity(IntensityTable(1, kNormal), in);
  EXPECT_EQ(c.level, -3);
  EXPECT_EQ(c.queue_count, 1);
  EXPECT_EQ(c.hashes, 1792u);
}

TEST(ChooseIntensity, GroupSizeOverridesTheTable) {
  IntensityInputs in;
  in.level = 3;
  in.group_size = 1024;
  in.num_queues = 1;
  auto c = ChooseIntensity(IntensityTable(0, kNormal), in);
  EXPECT_EQ(c.level, 3);
  EXPECT_EQ(c.queue_count, 1);
  EXPECT_EQ(c.hashes, 1024u);
  EXPECT_EQ(c.highest_level, 10);
  in.group_size = 1000;  // not a multiple of the local sizes: rounded down
  in.num_queues = 0;     // not given: one queue, never none
  c = ChooseIntensity(IntensityTable(0, kNormal), in);
  EXPECT_EQ(c.hashes, 992u);
  EXPECT_EQ(c.queue_count, 1);
  in.group_size = 5;
  in.num_queues = 3;
  c = ChooseIntensity(IntensityTable(0, kNormal), in);
  EXPECT_EQ(c.hashes, 16u);
  EXPECT_EQ(c.queue_count, 2);
  in.num_queues = -1;
  EXPECT_EQ(ChooseIntensity(IntensityTable(0, kNormal), in).queue_count, 1);
}

TEST(ChooseIntensity, QueueCountAloneChangesNothing) {
  IntensityInputs in;
  in.level = 0;
  in.num_queues = 2;
  const auto c = ChooseIntensity(IntensityTable(1, kNormal), in);
  EXPECT_EQ(c.queue_count, 1);
  EXPECT_EQ(c.hashes, 1792u);
}

TEST(GenericIntensityTable, CpuRoundsAreSmallAndFitTheLargestAllocation) {
  gpu::GenericDevice cpu;
  cpu.is_cpu = true;
  cpu.compute_units = 2;
  cpu.global_mem_bytes = 8ull << 30;
  cpu.max_alloc_bytes = 2ull << 30;
  for (uint64_t size : {kLight, kNormal, kHeavy}) {
    const GpuIntensityConfig table = gpu::GenericIntensityTable(cpu, size);
    ASSERT_EQ(table.highest_level(), 10) << size;
    for (size_t i = 0; i < table.hashes.size(); ++i) {
      EXPECT_EQ(table.queues[i], 1u);
      EXPECT_EQ(table.hashes[i] % 16, 0u);
      EXPECT_LE(table.hashes[i] * size / 2, cpu.max_alloc_bytes);
    }
    const uint32_t chosen = table.hashes[table.default_level];
    EXPECT_GE(chosen, 16u) << size;
    EXPECT_LE(chosen, 64u) << size;
  }
  EXPECT_EQ(gpu::GenericIntensityTable(cpu, kNormal).hashes[0], 16u);
  EXPECT_EQ(gpu::GenericIntensityTable(cpu, kNormal).hashes[3], 64u);
}

TEST(GenericIntensityTable, GpuTablesScaleWithComputeUnitsWithinMemory) {
  gpu::GenericDevice gpu_device;
  gpu_device.compute_units = 40;
  gpu_device.global_mem_bytes = 4ull << 30;
  gpu_device.max_alloc_bytes = 2ull << 30;
  const GpuIntensityConfig table = gpu::GenericIntensityTable(gpu_device, kNormal);
  EXPECT_EQ(table.queues[0], 2u);
  EXPECT_EQ(table.hashes[0], 112u);  // 3 x 40 = 120, rounded down to 16s
  for (size_t i = 0; i < table.hashes.size(); ++i) {
    // Both halves within the largest allocation; two queues within 3/4.
    EXPECT_LE(table.hashes[i] * kNormal / 2, gpu_device.max_alloc_bytes);
    EXPECT_LE(2 * table.hashes[i] * (kNormal + 216), gpu_device.global_mem_bytes / 4 * 3);
  }
  EXPECT_EQ(table.hashes[5], 720u);  // 3 x 40 x 6
  // 3 GiB for two queues of 2 MiB + 216 bytes per hash: 767, in 16s 752.
  EXPECT_EQ(table.hashes[10], 752u);
  gpu_device.max_alloc_bytes = 256ull << 20;  // now the allocation bounds: 256 MiB / 1 MiB
  EXPECT_EQ(gpu::GenericIntensityTable(gpu_device, kNormal).hashes[10], 256u);
}

// Pads of 256 and 128 KiB: the automatic level runs far more hashes than at
// 1 MiB (scaled by 1 MiB / pad, the 1 MiB entry's memory) and never more
// than the device's largest allocation and memory hold.
TEST(SmallScratchpads, AutomaticLevelsRunMoreHashesWithinTheDevice) {
  constexpr uint64_t kGiB = 1ull << 30;
  struct small_case {
    const char* what;
    int32_t device_class;  // kGenericDeviceClass for the computed tables
    bool is_cpu;
    uint32_t compute_units;
    uint64_t global_mem, max_alloc, pad;
    uint32_t queues;
    uint64_t hashes;
  };
  const small_case cases[] = {
      // CPU: 64 and 128 hashes per level step, default level 3.
      {"cpu 256 KiB", gpu::kGenericDeviceClass, true, 2, 8 * kGiB, 2 * kGiB, crypto::kScratchpad256K, 1, 256},
      {"cpu 128 KiB", gpu::kGenericDeviceClass, true, 2, 8 * kGiB, 2 * kGiB, crypto::kScratchpad128K, 1, 512},
      // GPU of 40 units: 3 x 40 x 8 x (2 MiB / pad) wanted, 3/4 of 4 GiB for two queues allowed.
      {"gpu 256 KiB", gpu::kGenericDeviceClass, false, 40, 4 * kGiB, 2 * kGiB, crypto::kScratchpad256K, 2, 6128},
      {"gpu 128 KiB", gpu::kGenericDeviceClass, false, 40, 4 * kGiB, 2 * kGiB, crypto::kScratchpad128K, 2, 12256},
      // Vega 64 (class 1), default level 7 = 2 x 3584 at 1 MiB.
      {"class 1 256 KiB", 1, false, 64, 8176ull << 20, 4 * kGiB, crypto::kScratchpad256K, 2, 4 * 3584},
      {"class 1 128 KiB", 1, false, 64, 8176ull << 20, 4 * kGiB, crypto::kScratchpad128K, 2, 8 * 3584},
      // The same card with a 1 GiB allocation limit: 1 GiB / 128 KiB per half.
      {"class 1 256 KiB, small allocations", 1, false, 64, 8176ull << 20, 1 * kGiB, crypto::kScratchpad256K, 2, 8192},
  };
  for (const small_case& c : cases) {
    gpu::GenericDevice device;
    device.is_cpu = c.is_cpu;
    device.compute_units = c.compute_units;
    device.global_mem_bytes = c.global_mem;
    device.max_alloc_bytes = c.max_alloc;
    const GpuIntensityConfig table = c.device_class == gpu::kGenericDeviceClass
                                         ? gpu::GenericIntensityTable(device, c.pad)
                                         : gpu::SmallScratchpadTable(c.device_class, c.pad, device);
    IntensityInputs in;
    in.new_driver = true;
    const auto choice = ChooseIntensity(table, in);
    EXPECT_EQ(choice.queue_count, static_cast<int32_t>(c.queues)) << c.what;
    EXPECT_EQ(choice.hashes, c.hashes) << c.what;
    for (size_t i = 0; i < table.hashes.size(); ++i) {
      EXPECT_EQ(table.hashes[i] % 16, 0u) << c.what;
      EXPECT_LE(table.hashes[i] * c.pad / 2, c.max_alloc) << c.what << " level " << i;
      EXPECT_LE(table.queues[i] * table.hashes[i] * (c.pad + 216), c.global_mem) << c.what;
    }
  }
  // At 1 MiB and above a class keeps its own table.
  gpu::GenericDevice card;
  card.global_mem_bytes = 8ull << 30;
  card.max_alloc_bytes = 4ull << 30;
  EXPECT_EQ(Describe(gpu::SmallScratchpadTable(1, kLight, card)), Describe(IntensityTable(1, kLight)));
  EXPECT_EQ(Describe(gpu::SmallScratchpadTable(2, kHeavy, card)), Describe(IntensityTable(2, kHeavy)));
}

}  // namespace
