#include "gpu/intensity.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "base/printer.h"
#include "crypto/algorithm.h"

namespace gpu {
namespace {

// Hash counts must divide by every local size of a round (8 and 16).
constexpr uint32_t kHashGranule = 16;

uint64_t RoundDownToGranule(uint64_t hashes) {
  return std::max<uint64_t>(kHashGranule, hashes / kHashGranule * kHashGranule);
}

// Most hashes per queue that fit the device: both scratchpad halves within
// the largest allocation, all queues (scratchpad and 216 bytes of state and
// branch entries per hash) within `usable` bytes of global memory.
uint64_t HashCap(const GenericDevice& device, uint64_t scratchpad, uint32_t queue_count,
                 uint64_t usable) {
  const uint64_t by_alloc = device.max_alloc_bytes / (scratchpad / 2);
  const uint64_t by_memory = usable / (scratchpad + 216) / std::max<uint32_t>(queue_count, 1);
  return RoundDownToGranule(std::min(by_alloc, by_memory));
}

// Pads below 1 MiB take this many times the hashes of the 1 MiB tables.
uint64_t SmallPadScale(uint64_t scratchpad) {
  return scratchpad < crypto::kScratchpadLight ? crypto::kScratchpadLight / scratchpad : 1;
}

// The smallest pad the formulas are asked for; guards the divisions.
constexpr uint64_t kSmallestPad = 16 * 1024;

enum TableSize { kNormal = 0, kLight = 1, kHeavy = 2 };

TableSize SizeOf(uint64_t scratchpad_bytes) {
  if (scratchpad_bytes == crypto::kScratchpadHeavy) return kHeavy;
  if (scratchpad_bytes == crypto::kScratchpadLight) return kLight;
  return kNormal;
}

// [table group][size]; groups: 0, 1, 2, 3, {4, 6}, {5, 7}.
const GpuIntensityConfig& Table(int group, TableSize size) {
  static const GpuIntensityConfig kTables[6][3] = {
      {
          {10, 10, 0, {1, 1792, 2, 896, 1, 2304, 2, 1152, 1, 2688, 1, 3584, 2, 1664, 2, 1792,
                       2, 1856, 2, 1920, 2, 1984, 2, 2688, 2, 3456}},
          {9, 10, 0, {1, 3584, 2, 1792, 1, 7168, 2, 2304, 2, 2688, 2, 3456, 2, 3520, 2, 3584,
                      2, 3840, 2, 3968, 2, 5248, 2, 5312, 2, 6912}},
          {7, 8, 0, {2, 832, 1, 1536, 1, 1664, 2, 896, 1, 1792, 2, 960, 1, 1856, 1, 1920, 1, 2016,
                     2, 1536, 2, 1792, 2, 1856, 2, 1920}},
      },
      {
          {7, 10, 0, {1, 1792, 2, 896, 1, 2304, 2, 1152, 1, 2688, 1, 3584, 2, 1664, 2, 1792,
                      2, 1856, 2, 1920, 2, 1984}},
          {7, 9, 0, {1, 3584, 2, 1792, 1, 7168, 2, 2304, 2, 2688, 2, 3456, 2, 3520, 2, 3584,
                     2, 3840, 2, 3968, 2, 4032}},
          {7, 9, 0, {1, 1472, 2, 832, 1, 1536, 2, 864, 1, 1664, 2, 896, 1, 1728, 1, 1792, 1, 1856,
                     1, 1920, 1, 1984}},
      },
      {
          {7, 10, 0, {1, 1792, 2, 896, 1, 2304, 2, 1152, 1, 2688, 1, 3584, 2, 1664, 2, 1792,
                      2, 1856, 2, 1920, 2, 1984}},
          {6, 10, 0, {1, 3584, 2, 1792, 1, 7168, 2, 2304, 2, 2688, 2, 3456, 2, 3520, 2, 3584,
                      2, 3840, 2, 3968, 2, 4032}},
          {8, 8, 0, {1, 1344, 1, 1536, 1, 1664, 1, 1728, 2, 768, 1, 1792, 2, 832, 2, 864, 2, 896,
                     2, 960, 2, 992}},
      },
      {
          {6, 6, 0, {1, 64, 1, 96, 1, 128, 2, 64, 1, 176, 1, 192, 2, 96, 1, 224, 2, 112, 1, 256,
                     2, 128}},
          {7, 7, 0, {2, 64, 1, 128, 1, 192, 1, 256, 2, 96, 2, 128, 1, 160, 1, 176, 2, 176, 2, 192,
                     1, 384}},
          {6, 6, 0, {1, 64, 1, 96, 1, 128, 2, 64, 1, 144, 1, 160, 1, 176, 2, 96, 1, 192, 1, 224,
                     1, 256}},
      },
      {
          {7, 9, 0, {2, 512, 1, 1792, 2, 768, 2, 896, 2, 960, 2, 1152, 2, 1536, 2, 1664, 2, 1728,
                     2, 1792, 2, 1856}},
          {6, 10, 2, {1, 1792, 2, 896, 2, 1024, 2, 1792, 2, 1856, 2, 2112, 2, 2304, 2, 2688,
                      2, 2944, 2, 3072, 2, 3456}},
          {9, 10, 0, {2, 384, 1, 768, 1, 896, 1, 1024, 1, 1536, 1, 1728, 2, 704, 2, 768, 2, 832,
                      2, 896, 2, 960}},
      },
      {
          {8, 9, 3, {1, 768, 1, 896, 1, 960, 2, 512, 1, 1792, 2, 640, 2, 704, 2, 768, 2, 832,
                     2, 896, 2, 960}},
          {8, 10, 2, {2, 896, 2, 1024, 2, 1472, 2, 1536, 2, 1600, 2, 1664, 2, 1728, 2, 1792,
                      2, 1824, 2, 1856}},
          {8, 10, 0, {2, 384, 1, 704, 2, 416, 1, 768, 1, 800, 1, 832, 2, 448, 2, 480, 1, 896,
                      1, 928, 1, 960}},
      },
  };
  return kTables[group][size];
}

}  // namespace

GpuIntensityConfig::GpuIntensityConfig(int32_t default_level, int32_t max_memory_level,
                                       int32_t old_driver_level,
                                       const std::vector<uint32_t>& pairs)
    : default_level(default_level),
      max_memory_level(max_memory_level),
      old_driver_level(old_driver_level) {
  if (pairs.size() % 2 != 0) {
    base::printer::inst().print_leveled(base::kError, "GpuIntensityConfig: intensities not even");
  }
  for (size_t i = 0; i + 1 < pairs.size(); i += 2) {
    queues.push_back(pairs[i]);
    hashes.push_back(pairs[i + 1]);
  }
}

int32_t DeviceClass(bool is_ellesmere, uint32_t compute_units, uint32_t memory_mb) {
  if (!is_ellesmere) {
    if (memory_mb >= 12000) return 0;
    if (compute_units == 56) return 2;
    return compute_units > 24 ? 1 : 3;
  }
  const bool large = memory_mb >= 8000;
  if (compute_units == 36) return large ? 4 : 5;
  return large ? 6 : 7;
}

const GpuIntensityConfig& IntensityTable(int32_t device_class, uint64_t scratchpad_bytes) {
  static const int kGroupOfClass[8] = {0, 1, 2, 3, 4, 5, 4, 5};
  const int group = device_class >= 0 && device_class < 8 ? kGroupOfClass[device_class] : 1;
  return Table(group, SizeOf(scratchpad_bytes));
}

GpuIntensityConfig GenericIntensityTable(const GenericDevice& device, uint64_t scratchpad_bytes) {
  const uint64_t scratchpad = std::max<uint64_t>(scratchpad_bytes, kSmallestPad);
  const uint64_t compute_units = std::max<uint32_t>(device.compute_units, 1);
  // Scaling to the 2 MiB class: lighter algorithms run more hashes, heavier
  // ones fewer, at the same memory and time per round.
  const double size_scale = static_cast<double>(crypto::kScratchpadNormal) / scratchpad;
  const uint32_t queue_count = device.is_cpu ? 1 : 2;
  const uint64_t cap = HashCap(device, scratchpad, queue_count, device.global_mem_bytes / 4 * 3);

  std::vector<uint32_t> pairs;
  int32_t default_level = 0;
  if (device.is_cpu) {
    // CPUs: one queue of 16 hashes per two compute units per level (times
    // SmallPadScale below 1 MiB, so the small pads reach their rounds within
    // the eleven levels); the default aims at 16 hashes per compute unit at
    // 2 MiB, so every compute unit gets a work-group of the 16-wide V8 main
    // kernels, and a round stays well under a second on a desktop core.
    const uint64_t unit = kHashGranule * ((compute_units + 1) / 2) * SmallPadScale(scratchpad);
    const double target = 16.0 * compute_units * size_scale;
    for (uint32_t level = 0; level <= 10; ++level) {
      pairs.push_back(queue_count);
      pairs.push_back(static_cast<uint32_t>(std::min(cap, unit * (level + 1))));
    }
    const double wanted = target / static_cast<double>(unit);
    default_level = std::clamp(static_cast<int32_t>(wanted + 0.999) - 1, 0, 10);
  } else {
    // GPUs: two queues of 3 x (level + 1) hashes per compute unit at 2 MiB.
    for (uint32_t level = 0; level <= 10; ++level) {
      const uint64_t hashes =
          RoundDownToGranule(static_cast<uint64_t>(3.0 * compute_units * (level + 1) * size_scale));
      pairs.push_back(queue_count);
      pairs.push_back(static_cast<uint32_t>(std::min(cap, hashes)));
    }
    default_level = 7;
  }
  // Driver versions of other vendors say nothing about speed: the old
  // driver level is the default level.
  return GpuIntensityConfig(default_level, 10, default_level, pairs);
}

GpuIntensityConfig SmallScratchpadTable(int32_t device_class, uint64_t scratchpad_bytes,
                                        const GenericDevice& device) {
  const uint64_t scratchpad = std::max<uint64_t>(scratchpad_bytes, kSmallestPad);
  if (scratchpad >= crypto::kScratchpadLight) return IntensityTable(device_class, scratchpad);
  const GpuIntensityConfig& light = IntensityTable(device_class, crypto::kScratchpadLight);
  std::vector<uint32_t> pairs;
  for (size_t level = 0; level < light.hashes.size(); ++level) {
    const uint64_t hashes = light.hashes[level] * SmallPadScale(scratchpad);
    pairs.push_back(light.queues[level]);
    // The scaled entry takes the memory of the 1 MiB entry, which the
    // class's table already sizes for the card; the cap only guards a
    // smaller allocation limit or memory than the class assumes.
    pairs.push_back(static_cast<uint32_t>(std::min(
        hashes, HashCap(device, scratchpad, light.queues[level], device.global_mem_bytes))));
  }
  return GpuIntensityConfig(light.default_level, light.max_memory_level, light.old_driver_level,
                            pairs);
}

int32_t ParseIntensity(const std::string& text, size_t position) {
  std::vector<int32_t> levels;
  const char* p = text.c_str();
  for (;;) {
    const char* start = p;
    if (*p == '-' || *p == '+') ++p;
    if (!std::isdigit(static_cast<unsigned char>(*p))) break;
    char* end = nullptr;
    const long value = std::strtol(start, &end, 10);
    levels.push_back(static_cast<int32_t>(std::clamp<long>(value, INT32_MIN, INT32_MAX)));
    p = end;
    if (*p != ',') break;
    ++p;
  }
  if (levels.empty()) return -1;
  if (levels.size() == 1) return levels[0];
  return position < levels.size() ? levels[position] : -1;
}

IntensityChoice ChooseIntensity(const GpuIntensityConfig& table, const IntensityInputs& inputs) {
  IntensityChoice choice;
  choice.level = inputs.level;
  choice.highest_level = table.highest_level();
  if (inputs.group_size != 0) {
    choice.hashes = RoundDownToGranule(static_cast<uint64_t>(std::max(inputs.group_size, 0)));
    choice.queue_count = inputs.num_queues == 0 ? 1 : std::clamp(inputs.num_queues, 1, 2);
    // The banner shows the class 1 normal table's highest level here.
    choice.highest_level = IntensityTable(1, crypto::kScratchpadNormal).highest_level();
    return choice;
  }
  if (choice.level == -1) {
    bool supported = false;
    if (inputs.is_ellesmere) {
      supported = inputs.blockchain_driver || (inputs.driver_number >= 2482 && inputs.large_pages);
    } else {
      supported = inputs.blockchain_driver || inputs.new_driver;
    }
    if (!supported) choice.level = table.old_driver_level;
    else choice.level = inputs.max_mem ? table.max_memory_level : table.default_level;
  } else if (choice.level > table.highest_level()) {
    choice.level = table.highest_level();
  }
  const int32_t entry = std::clamp(choice.level, 0, table.highest_level());
  choice.queue_count = static_cast<int32_t>(table.queues[entry]);
  choice.hashes = table.hashes[entry];
  return choice;
}

}  // namespace gpu
