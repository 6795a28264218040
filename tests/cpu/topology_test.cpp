// The processor as sysfs describes it, on fake trees: CPU lists, cache
// sizes, cores and their cache share, the affinity filter, the thread count
// of auto and its clamp, the package sensor, and the ways store's text.
#include "cpu/topology.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cpu/cpu_miner.h"
#include "cpu/platform.h"
#include "cpu/ways_store.h"
#include "crypto/algorithm.h"

namespace cpu {
namespace {

class FakeSysfs : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "orbeck-cpu-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  void write(const std::string& relative, const std::string& text) {
    const std::filesystem::path path = std::filesystem::path(root_) / relative;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path) << text << "\n";
  }
  // A logical CPU with its core and its caches: L1 data 32K of its own,
  // and the last-level cache given.
  void add_cpu(int cpu, int core, const std::string& l3_size, const std::string& l3_sharers) {
    const std::string dir = "devices/system/cpu/cpu" + std::to_string(cpu);
    write(dir + "/topology/core_id", std::to_string(core));
    write(dir + "/topology/physical_package_id", "0");
    write(dir + "/cache/index0/level", "1");
    write(dir + "/cache/index0/type", "Data");
    write(dir + "/cache/index0/size", "32K");
    write(dir + "/cache/index0/shared_cpu_list", std::to_string(cpu));
    write(dir + "/cache/index1/level", "1");
    write(dir + "/cache/index1/type", "Instruction");
    write(dir + "/cache/index1/size", "64M");  // an instruction cache never counts
    write(dir + "/cache/index1/shared_cpu_list", std::to_string(cpu));
    write(dir + "/cache/index2/level", "3");
    write(dir + "/cache/index2/type", "Unified");
    write(dir + "/cache/index2/size", l3_size);
    write(dir + "/cache/index2/shared_cpu_list", l3_sharers);
  }
  std::string root_;
};

TEST(CpuList, ParsesTheKernelsListsAndRefusesTheRest) {
  struct list_case {
    const char* text;
    bool valid;
    std::vector<uint32_t> cpus;
  };
  const list_case cases[] = {
      {"0", true, {0}},
      {"0-3", true, {0, 1, 2, 3}},
      {"0-1,4,6-7", true, {0, 1, 4, 6, 7}},
      {"", false, {}},
      {"3-1", false, {}},
      {"0-", false, {}},
      {"a", false, {}},
      {"1,,2", false, {}},
      {"0-70000", false, {}},
  };
  for (const list_case& c : cases) {
    std::vector<uint32_t> cpus;
    EXPECT_EQ(parse_cpu_list(c.text, cpus), c.valid) << c.text;
    if (c.valid) {
      EXPECT_EQ(cpus, c.cpus) << c.text;
    }
  }
  struct size_case {
    const char* text;
    bool valid;
    uint64_t bytes;
  };
  const size_case sizes[] = {{"32K", true, 32768},   {"32M", true, 32u << 20}, {"512", true, 512},
                             {"1G", true, 1u << 30}, {"K", false, 0},          {"12X", false, 0},
                             {"", false, 0}};
  for (const size_case& c : sizes) {
    uint64_t bytes = 0;
    EXPECT_EQ(parse_cache_size(c.text, bytes), c.valid) << c.text;
    if (c.valid) {
      EXPECT_EQ(bytes, c.bytes) << c.text;
    }
  }
}

TEST_F(FakeSysfs, CoresShareTheirLastLevelCacheAndAutoCountsThoseThatHoldAScratchpad) {
  // Two cores with two logical CPUs each, sharing 8 MiB: 4 MiB per core.
  write("devices/system/cpu/online", "0-3");
  add_cpu(0, 0, "8192K", "0-3");
  add_cpu(1, 0, "8192K", "0-3");
  add_cpu(2, 1, "8192K", "0-3");
  add_cpu(3, 1, "8192K", "0-3");
  topology t;
  ASSERT_TRUE(read_topology(root_, t).is_ok());
  ASSERT_EQ(t.cores.size(), 2u);
  EXPECT_EQ(t.cores[0].first_cpu, 0u);
  EXPECT_EQ(t.cores[1].first_cpu, 2u);
  EXPECT_EQ(t.cores[0].cpus, (std::vector<uint32_t>{0, 1}));
  EXPECT_EQ(t.cores[1].cache_share, 4u << 20);
  EXPECT_EQ(auto_thread_count(t, crypto::kScratchpadNormal), 2u);
  EXPECT_EQ(auto_thread_count(t, crypto::kScratchpadHeavy), 2u);
  EXPECT_EQ(auto_thread_count(t, 8u << 20), 1u);  // none holds one: still one thread

  // Only the CPUs the process may use: each core pinned to its first one.
  topology allowed = t;
  keep_allowed_cpus(allowed, {1, 3});
  ASSERT_EQ(allowed.cores.size(), 2u);
  EXPECT_EQ(allowed.cores[0].first_cpu, 1u);
  EXPECT_EQ(allowed.cores[1].first_cpu, 3u);
  keep_allowed_cpus(allowed, {3});
  ASSERT_EQ(allowed.cores.size(), 1u);

  // Auto and explicit counts, and a count beyond the cores clamped with its line.
  cpu_options options;
  std::string note;
  options.threads = kAutoThreads;
  options.algorithm = crypto::kCryptoNightHeavy;
  EXPECT_EQ(resolve_thread_count(options, t, note), 2u);
  EXPECT_EQ(note, "");
  options.threads = 1;
  EXPECT_EQ(resolve_thread_count(options, t, note), 1u);
  options.threads = 9;
  EXPECT_EQ(resolve_thread_count(options, t, note), 2u);
  EXPECT_EQ(note, "--cpu-threads 9 is more than the 2 cores here: mining with 2 CPU threads");
}

TEST_F(FakeSysfs, ASmallCacheShareAndAMissingTreeStillGiveOneThread) {
  write("devices/system/cpu/online", "0-1");
  add_cpu(0, 0, "3M", "0-1");
  add_cpu(1, 1, "3M", "0-1");
  topology t;
  ASSERT_TRUE(read_topology(root_, t).is_ok());
  EXPECT_EQ(auto_thread_count(t, crypto::kScratchpadNormal), 1u);
  EXPECT_EQ(auto_thread_count(t, crypto::kScratchpadLight), 2u);

  const base::status missing = read_topology(root_ + "/none", t);
  EXPECT_EQ(missing.code(), base::status_code::kNotFound);
  cpu_options options;
  options.sysfs_root = root_ + "/none";
  options.own_affinity = false;
  EXPECT_GE(read_topology_or_guess(options).cores.size(), 1u);
}

TEST_F(FakeSysfs, ThePackageSensorIsTheFirstCpuHwmon) {
  EXPECT_EQ(package_temperature(root_), -1.0f);
  write("class/hwmon/hwmon0/name", "amdgpu");
  write("class/hwmon/hwmon0/temp1_input", "50000");
  EXPECT_EQ(package_temperature(root_), -1.0f);
  write("class/hwmon/hwmon1/name", "k10temp");
  write("class/hwmon/hwmon1/temp1_input", "61500");
  EXPECT_EQ(package_temperature(root_), 61.5f);
}

TEST(PadMemory, IsAlignedWritableAndMovable) {
  for (bool huge : {false, true}) {
    pad_memory memory;
    ASSERT_TRUE(pad_memory::allocate(5u << 20, huge, memory).is_ok());
    EXPECT_EQ(reinterpret_cast<uintptr_t>(memory.data()) % (2u << 20), 0u);
    EXPECT_GE(memory.size(), 5u << 20);
    if (!huge) {
      EXPECT_EQ(memory.kind(), page_kind::normal);
    }
    memory.data()[memory.size() - 1] = 7;
    pad_memory moved = std::move(memory);
    EXPECT_EQ(memory.data(), nullptr);
    EXPECT_EQ(moved.data()[moved.size() - 1], 7);
  }
}

TEST(WaysStore, KeepsValidEntriesOfItsOwnerOnly) {
  const std::map<int32_t, ways_entry> entries = {{0, {2, 120.5}}, {10, {1, 99.0}}};
  const std::string text = format_ways_store("CPU X, 2 threads", entries);
  const auto back = parse_ways_store(text, "CPU X, 2 threads");
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back.at(0).ways, 2);
  EXPECT_EQ(back.at(10).hash_rate, 99.0);
  EXPECT_TRUE(parse_ways_store(text, "CPU X, 4 threads").empty());
  EXPECT_TRUE(parse_ways_store("", "CPU X, 2 threads").empty());
  const std::string bad = "orbeck cpu ways 1\nowner=o\nalgo 0 5 1.0\nalgo -1 1 1.0\nalgo 99 1 1.0\n"
                          "algo 2 2 nan\nalgo 3 2\nalgo 4 2 1.0 x\nalgo 5 3 7.5\n";
  const auto kept = parse_ways_store(bad, "o");
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept.at(5).ways, 3);
}

}  // namespace
}  // namespace cpu
