#include "gpu/autotune.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "base/printer.h"
#include "core/benchmark.h"
#include "core/mining_backend.h"
#include "crypto/algorithm.h"
#include "gpu/mine_thread.h"
#include "gpu/discovery.h"
#include "gpu/program.h"
#include "gpu/reset.h"

namespace gpu {
namespace {

constexpr char kStoreMagic[] = "ORBKTUNE1";
// Measured time per candidate, and the most one algorithm's search may take
// before the remaining candidates are skipped (the automatic setting is
// always measured first).
constexpr double kRoundSeconds = 4.0;
constexpr auto kAlgorithmBudget = std::chrono::seconds(80);
// Reports left out after the warm-up, and the margin by which the best
// candidate must beat the automatic setting in the longer confirmation
// round (short rounds flatter settings whose pipeline has not settled).
constexpr int kWarmUpReports = 2;
constexpr double kConfirmMargin = 1.03;
constexpr uint32_t kHashGranule = 16;

bool UsableSetting(const tune_setting& s) {
  return s.hashes >= kHashGranule && s.hashes % kHashGranule == 0 && s.hashes <= (1u << 24) &&
         (s.queues == 1 || s.queues == 2);
}

std::string FormatRate(double rate) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.1f", rate);
  return text;
}

std::string FormatSeconds(double seconds) { return FormatRate(seconds) + " s"; }

tune_owner OwnerOf(const GpuContext& ctx) {
  return tune_owner{ctx.device_name, ctx.driver_version, ctx.platform_version};
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

std::map<int32_t, tune_entry> ParseTuneStore(const std::string& text, const tune_owner& owner) {
  std::map<int32_t, tune_entry> entries;
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || line != kStoreMagic) return entries;
  const std::string header[3] = {"device=" + owner.device, "driver=" + owner.driver,
                                 "platform=" + owner.platform};
  for (const std::string& expected : header) {
    if (!std::getline(in, line) || line != expected) return entries;
  }
  while (std::getline(in, line)) {
    int32_t algorithm = -1;
    unsigned hashes = 0, queues = 0;
    double rate = 0.0;
    char rest = 0;
    if (std::sscanf(line.c_str(), "algo %d %u %u %lf %c", &algorithm, &hashes, &queues, &rate,
                    &rest) != 4) {
      continue;
    }
    const tune_setting setting{hashes, queues};
    if (algorithm < 0 || algorithm >= crypto::kAlgoCount || !UsableSetting(setting) ||
        !(rate >= 0.0)) {
      continue;
    }
    entries[algorithm] = tune_entry{setting, rate};
  }
  return entries;
}

std::string FormatTuneStore(const tune_owner& owner, const std::map<int32_t, tune_entry>& entries) {
  std::string text = std::string(kStoreMagic) + "\ndevice=" + owner.device +
                     "\ndriver=" + owner.driver + "\nplatform=" + owner.platform + "\n";
  for (const auto& [algorithm, entry] : entries) {
    char line[96];
    std::snprintf(line, sizeof(line), "algo %d %u %u %.1f\n", algorithm, entry.setting.hashes,
                  entry.setting.queues, entry.hash_rate);
    text += line;
  }
  return text;
}

std::string TuneStorePath(const GpuContext& ctx) {
  std::string path = ProgramCachePath(ctx);
  if (path.size() < 4) return {};
  return path.substr(0, path.size() - 4) + ".tune";
}

std::optional<tune_setting> LoadTunedSetting(const GpuContext& ctx, int32_t algorithm) {
  const std::string path = TuneStorePath(ctx);
  if (path.empty()) return std::nullopt;
  const auto entries = ParseTuneStore(ReadFile(path), OwnerOf(ctx));
  const auto found = entries.find(algorithm);
  if (found == entries.end()) return std::nullopt;
  return found->second.setting;
}

bool StoreTunedSetting(const GpuContext& ctx, int32_t algorithm, const tune_entry& entry) {
  const std::string path = TuneStorePath(ctx);
  if (path.empty()) return false;
  const tune_owner owner = OwnerOf(ctx);
  auto entries = ParseTuneStore(ReadFile(path), owner);
  entries[algorithm] = entry;
  const std::string dir = path.substr(0, path.rfind('/'));
  const std::string parent = dir.substr(0, dir.rfind('/'));
  ::mkdir(parent.c_str(), 0755);
  ::mkdir(dir.c_str(), 0755);
  const std::string temporary = path + ".tmp." + std::to_string(::getpid());
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << FormatTuneStore(owner, entries);
    if (!out.flush()) {
      std::remove(temporary.c_str());
      return false;
    }
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    std::remove(temporary.c_str());
    return false;
  }
  return true;
}

bool TunedSettingChanges(const std::vector<GpuContext>& contexts, int32_t algorithm) {
  for (const GpuContext& ctx : contexts) {
    if (!ctx.tuning_allowed || ctx.tune_override) continue;
    const auto stored = LoadTunedSetting(ctx, algorithm);
    const tune_setting now{ctx.tuned_hashes.load(), ctx.tuned_queues.load()};
    if (stored ? !(*stored == now) : now.hashes != 0) return true;
  }
  return false;
}

std::vector<tune_setting> TuneCandidates(const GpuContext& ctx, uint64_t scratchpad_bytes) {
  const GpuIntensityConfig table = DeviceIntensityTable(ctx, scratchpad_bytes);
  std::vector<tune_setting> candidates;
  if (table.hashes.empty()) return candidates;
  const int32_t level = std::clamp(table.default_level, 0, table.highest_level());
  const auto add = [&](tune_setting s) {
    s.hashes = std::max(kHashGranule, s.hashes / kHashGranule * kHashGranule);
    if (std::find(candidates.begin(), candidates.end(), s) == candidates.end())
      candidates.push_back(s);
  };
  add({table.hashes[level], std::clamp(table.queues[level], 1u, 2u)});
  // One level below, two above, each with one and two queues. Two queues
  // of the same size need twice the memory; the table's sizes leave room.
  for (int32_t l : {level, level - 1, level + 1, level + 2}) {
    if (l < 0 || l > table.highest_level()) continue;
    for (uint32_t queues : {1u, 2u}) add({table.hashes[l], queues});
  }
  return candidates;
}

base::status RunAutotune(gpu_miner& miner, int32_t algorithm) {
  base::printer& out = base::printer::inst();
  std::vector<GpuContext>& contexts = miner.devices();
  const backend_options& options = miner.options();
  const double round_seconds = options.autotune_seconds > 0 ? options.autotune_seconds : kRoundSeconds;
  const size_t max_candidates =
      options.autotune_candidates > 0 ? options.autotune_candidates : static_cast<size_t>(-1);
  std::vector<int32_t> algorithms;
  for (int32_t id = 0; id < crypto::kAlgoCount; ++id)
    if (algorithm < 0 || id == algorithm) algorithms.push_back(id);

  std::mt19937 random(54321);
  bool measured_any = false;
  for (int32_t id : algorithms) {
    const uint32_t size = crypto::scratchpad_size(id);
    std::vector<std::vector<tune_setting>> candidates;
    size_t rounds = 0;
    for (const GpuContext& ctx : contexts) {
      candidates.push_back(TuneCandidates(ctx, size));
      if (candidates.back().size() > max_candidates) candidates.back().resize(max_candidates);
      rounds = std::max(rounds, candidates.back().size());
    }
    out.print_leveled(base::kEvent, "Autotune: %s, %zu settings, %.0f s each",
                      crypto::algorithm_name(id), rounds, round_seconds);
    // rates[gpu][candidate]; a GPU with fewer candidates repeats its last.
    std::vector<std::vector<double>> rates(contexts.size(), std::vector<double>(rounds, 0.0));
    // Rates per GPU with candidate index[g] on GPU g, over `seconds`.
    const auto measure_each = [&](const std::vector<size_t>& index, double seconds) {
      for (size_t g = 0; g < contexts.size(); ++g) {
        GpuContext& ctx = contexts[g];
        ctx.setup_algorithm = id;
        const tune_setting& s = candidates[g][std::min(index[g], candidates[g].size() - 1)];
        ctx.tune_override = true;
        ctx.tuned_hashes = s.hashes;
        ctx.tuned_queues = s.queues;
        ctx.scratchpad_bytes = size;
        // A GPU that cannot be set up (printed) is parked by the miner
        // below and measures 0 H/s for this setting.
        static_cast<void>(ReInitOpenCLGpu(ctx));
      }
      core::event_queue events;
      core::no_hash_rates no_rates;
      core::mining_job idle;
      idle.idle = true;
      idle.nicehash = true;
      idle.algorithm = id;
      miner.start(idle, events, no_rates);
      const core::benchmark_result result =
          core::MeasureAlgorithm(miner, events, id, seconds, random, kWarmUpReports);
      miner.stop();
      std::vector<double> measured(contexts.size(), 0.0);
      for (size_t g = 0; g < contexts.size() && g < result.gpus.size(); ++g)
        measured[g] = result.gpus[g].self_test_failed ? 0.0 : result.gpus[g].hash_rate;
      return measured;
    };
    const auto measure = [&](size_t c, double seconds) {
      return measure_each(std::vector<size_t>(contexts.size(), c), seconds);
    };
    std::string confirmation;
    const auto started = std::chrono::steady_clock::now();
    for (size_t c = 0; c < rounds; ++c) {
      if (c > 0 && std::chrono::steady_clock::now() - started > kAlgorithmBudget) {
        out.print_leveled(base::kInfo, "Autotune: time is up, %zu settings not measured",
                          rounds - c);
        break;
      }
      const std::vector<double> measured = measure(c, round_seconds);
      for (size_t g = 0; g < contexts.size(); ++g) {
        rates[g][c] = measured[g];
        if (measured[g] > 0.0) measured_any = true;
      }
    }

    // Confirmation: the automatic setting and each GPU's best, in turn, over
    // twice the time; the best is kept only when it is clearly faster.
    std::vector<size_t> chosen(contexts.size(), 0);
    for (size_t g = 0; g < contexts.size(); ++g)
      chosen[g] = std::max_element(rates[g].begin(), rates[g].end()) - rates[g].begin();
    if (std::any_of(chosen.begin(), chosen.end(), [](size_t c) { return c != 0; })) {
      const std::vector<double> automatic = measure(0, 2 * round_seconds);
      std::vector<size_t> best_index = chosen;
      const std::vector<double> best = measure_each(best_index, 2 * round_seconds);
      for (size_t g = 0; g < contexts.size(); ++g) {
        if (chosen[g] == 0) continue;
        if (!(best[g] > automatic[g] * kConfirmMargin)) chosen[g] = 0;
        confirmation += "  GPU" + std::to_string(contexts[g].ordinal) + " confirmation over " +
                        FormatSeconds(2 * round_seconds) + ": automatic " + FormatRate(automatic[g]) +
                        ", best " + FormatRate(best[g]) + " H/s\n";
      }
    }

    // The table, one row per candidate index, and the best per GPU.
    std::string table = "\nAutotune " + std::string(crypto::algorithm_name(id)) + " (H/s):\n";
    char line[160];
    for (size_t g = 0; g < contexts.size(); ++g) {
      const size_t best = chosen[g];
      std::snprintf(line, sizeof(line), "  GPU%u %-18s %10s\n", contexts[g].ordinal,
                    "hashes x queues", "H/s");
      table += line;
      for (size_t c = 0; c < candidates[g].size() && c < rounds; ++c) {
        const tune_setting& s = candidates[g][c];
        std::snprintf(line, sizeof(line), "       %8u x %u%8s %10.1f%s%s\n", s.hashes, s.queues, "",
                      rates[g][c], c == 0 ? "  (automatic)" : "",
                      c == best && rates[g][c] > 0.0 ? "  <- chosen" : "");
        table += line;
      }
      if (rates[g][best] > 0.0) {
        const tune_setting setting = candidates[g][best];
        const bool stored =
            StoreTunedSetting(contexts[g], id, tune_entry{setting, rates[g][best]});
        table += "  GPU" + std::to_string(contexts[g].ordinal) + ": " +
                 std::to_string(setting.hashes) + " hashes x " + std::to_string(setting.queues) +
                 " queues " +
                 (stored ? "stored in " + TuneStorePath(contexts[g]) : "could not be stored") +
                 "\n";
      } else {
        std::snprintf(line, sizeof(line), "  GPU%u: nothing measured, nothing stored\n",
                      contexts[g].ordinal);
        table += line;
      }
    }
    out.print_plain(table + confirmation);
  }
  for (GpuContext& ctx : contexts) ctx.tune_override = false;
  if (!measured_any) {
    return base::status::error(base::status_code::kDeviceError,
                               "Autotune: nothing could be measured");
  }
  return base::status::ok();
}

}  // namespace gpu
