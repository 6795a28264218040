// Intensity tables: how many queues a GPU runs and how many hashes each
// queue computes per round, by device class, scratchpad size and level.
// Tables are constants built on first use; the functions are pure. Called
// during GPU (re-)initialisation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace gpu {

struct GpuIntensityConfig {
  std::vector<uint32_t> hashes;  // hashes per queue for level 0, 1, ...
  std::vector<uint32_t> queues;  // queue count for level 0, 1, ...
  int32_t default_level = 0;     // auto level, supported driver
  int32_t max_memory_level = 0;  // auto level, supported driver and --maxmem
  int32_t old_driver_level = 0;  // auto level otherwise

  // Levels plus a flat list read in (queues, hashes) pairs; an odd count
  // prints "GpuIntensityConfig: intensities not even" and drops the last.
  GpuIntensityConfig(int32_t default_level, int32_t max_memory_level, int32_t old_driver_level,
                     const std::vector<uint32_t>& pairs);
  GpuIntensityConfig(int32_t default_level, int32_t max_memory_level, int32_t old_driver_level,
                     std::initializer_list<uint32_t> pairs)
      : GpuIntensityConfig(default_level, max_memory_level, old_driver_level,
                           std::vector<uint32_t>(pairs)) {}

  int32_t highest_level() const { return static_cast<int32_t>(hashes.size()) - 1; }
};

// Classes 0 to 7 are the supported AMD chips; every other device (with
// --anydevice) gets the generic class and a table computed for it.
constexpr int32_t kGenericDeviceClass = 8;

int32_t DeviceClass(bool is_ellesmere, uint32_t compute_units, uint32_t memory_mb);

// The constant table of classes 0 to 7 for a scratchpad size (exactly 4 MiB
// heavy, exactly 1 MiB light, anything else normal).
const GpuIntensityConfig& IntensityTable(int32_t device_class, uint64_t scratchpad_bytes);

// What the generic table is computed from (formula in doc/gpu.md), and the
// limits every table for a pad below 1 MiB is cut to.
struct GenericDevice {
  bool is_cpu = false;
  uint32_t compute_units = 1;
  uint64_t global_mem_bytes = 0;
  uint64_t max_alloc_bytes = 0;
};
GpuIntensityConfig GenericIntensityTable(const GenericDevice& device, uint64_t scratchpad_bytes);

// The table of a class 0 to 7 device for a scratchpad below 1 MiB (256 and
// 128 KiB): the class's 1 MiB table with 1 MiB / scratchpad times the
// hashes in every entry (that many more pads fit the same memory, and each
// hash is that much shorter), cut to what the device holds: both
// scratchpad halves within its largest allocation and all queues within its
// memory. Pads of 1 MiB and more give IntensityTable's table.
GpuIntensityConfig SmallScratchpadTable(int32_t device_class, uint64_t scratchpad_bytes,
                                        const GenericDevice& device);

// Level of the GPU at position j of the --gpu list from an --intensity text:
// comma-separated decimals; one number applies to all GPUs; -1 (auto) when
// there is none for j.
int32_t ParseIntensity(const std::string& text, size_t position);

// Everything the level choice depends on.
struct IntensityInputs {
  int32_t level = -1;  // the record's level, -1 = auto detect
  bool is_ellesmere = false;
  bool blockchain_driver = false;
  bool new_driver = false;
  uint32_t driver_number = 0;
  bool large_pages = false;
  bool max_mem = false;     // --maxmem
  int32_t group_size = 0;   // --xgroupsize, 0 = table
  int32_t num_queues = 0;   // --xnumqueues, 0 = not given
};

struct IntensityChoice {
  int32_t level = 0;          // the record's new level
  int32_t queue_count = 1;
  uint64_t hashes = 0;        // N of every queue
  int32_t highest_level = 0;  // for the banner
};

// --xgroupsize is rounded down to a multiple of 16 (at least 16) so every
// launch divides evenly; its queue count is --xnumqueues clamped to 1..2,
// or 1 when that is not given.
IntensityChoice ChooseIntensity(const GpuIntensityConfig& table, const IntensityInputs& inputs);

}  // namespace gpu
