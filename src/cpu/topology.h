// The processor as the CPU backend sees it: its cores, the logical CPU each
// mining thread is pinned to, and how much last-level cache each core has
// for a scratchpad. Read from sysfs below a root that tests point at a fake
// tree. Plain values and pure functions; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/status.h"

namespace cpu {

// One physical core: the first logical CPU on it (threads are pinned there)
// and its share of the last-level cache (the cache's size divided among
// the cores that share it; 0 when sysfs says nothing about caches).
struct core_info {
  uint32_t first_cpu = 0;
  uint64_t cache_share = 0;
  std::vector<uint32_t> cpus;  // every logical CPU of the core, first_cpu first
};

struct topology {
  std::vector<core_info> cores;  // in order of their first logical CPU
};

// "0-3,8,10-11" as the kernel writes CPU lists; false for any other text
// (an empty list, a reversed range, numbers beyond 65535).
bool parse_cpu_list(std::string_view text, std::vector<uint32_t>& cpus);

// A cache size as sysfs writes it ("32K", "1024K", "32M", "512"); false for
// anything else.
bool parse_cache_size(std::string_view text, uint64_t& bytes);

// The cores below <root>/devices/system/cpu ("/sys" normally): every online
// logical CPU grouped by package and core id. An error when not even the
// online list can be read.
base::status read_topology(const std::string& root, topology& out);

// Keeps the cores with a logical CPU in `allowed` (the process's affinity),
// each then pinned to its first allowed CPU. An empty list keeps all.
void keep_allowed_cpus(topology& t, const std::vector<uint32_t>& allowed);

// The thread count of --cpu-threads auto: one per core whose cache share
// holds a scratchpad of this size, at least one.
uint32_t auto_thread_count(const topology& t, uint64_t scratchpad_bytes);

}  // namespace cpu
