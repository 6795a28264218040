// --autotune: a short search over hashes per round and queue count per GPU
// and algorithm through the real mining threads, and the store of the best
// setting in the kernel cache directory (one file per device, beside its
// program binary). Main thread, after InitGpus; the store is also read by
// InitOpenCLGpu.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "base/status.h"
#include "gpu/backend_options.h"
#include "gpu/gpu_context.h"

namespace gpu {

struct tune_setting {
  uint32_t hashes = 0;  // per queue and round, a multiple of 16
  uint32_t queues = 1;  // 1 or 2
  bool operator==(const tune_setting&) const = default;
};

struct tune_entry {
  tune_setting setting;
  double hash_rate = 0.0;  // H/s measured for it
};

// Who a store file belongs to; an entry counts only when all three match.
struct tune_owner {
  std::string device;
  std::string driver;
  std::string platform;
};

// The valid entries of a store file's text, by algorithm id: empty when the
// text belongs to another owner (a stale file) or is not a store file; lines
// that do not parse, name an algorithm out of range or an unusable setting
// are skipped.
std::map<int32_t, tune_entry> ParseTuneStore(const std::string& text, const tune_owner& owner);
std::string FormatTuneStore(const tune_owner& owner, const std::map<int32_t, tune_entry>& entries);

// The store file of an initialised GPU (empty when there is no cache
// directory), the setting stored for an algorithm, and storing one (the
// file's other valid entries are kept, invalid ones dropped; written to a
// temporary file and renamed). StoreTunedSetting returns false when the file
// cannot be written.
std::string TuneStorePath(const GpuContext& ctx);
std::optional<tune_setting> LoadTunedSetting(const GpuContext& ctx, int32_t algorithm);
bool StoreTunedSetting(const GpuContext& ctx, int32_t algorithm, const tune_entry& entry);

// Whether a GPU of `contexts` that takes stored settings has another one (or
// none) for the algorithm than the one in effect; executor thread, threads
// stopped or running (reads the records' settings and the store files only).
bool TunedSettingChanges(const std::vector<GpuContext>& contexts, int32_t algorithm);

// The settings measured for a GPU and scratchpad size: the table's automatic
// setting first, then neighbouring levels with one and with two queues.
std::vector<tune_setting> TuneCandidates(const GpuContext& ctx, uint64_t scratchpad_bytes);

class gpu_miner;

// Tunes the algorithm (every one for -1) on every GPU of the backend, which
// measures each setting with its own mining threads (stopped before and
// after), prints the table of candidates and stores the best setting per
// GPU. Round length and candidate count come from the backend's options.
// kDeviceError when nothing could be measured.
base::status RunAutotune(gpu_miner& miner, int32_t algorithm);

}  // namespace gpu
