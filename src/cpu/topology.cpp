#include "cpu/topology.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <utility>

namespace cpu {
namespace {

constexpr uint32_t kMaxCpu = 65535;

bool read_number(std::string_view text, uint64_t& value) {
  if (text.empty()) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

// A sysfs file's first line without the line end; empty when unreadable.
std::string read_line(const std::string& path) {
  std::ifstream file(path);
  std::string line;
  if (!file || !std::getline(file, line)) return std::string();
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) line.pop_back();
  return line;
}

struct cache_record {
  uint32_t level = 0;
  uint64_t bytes = 0;
  std::string sharers;  // the shared_cpu_list text: one instance of the cache
};

// The largest-level data or unified cache of a logical CPU; level 0 if none.
cache_record last_level_cache(const std::string& cpu_dir) {
  cache_record best;
  for (int index = 0; index < 16; ++index) {
    const std::string dir = cpu_dir + "/cache/index" + std::to_string(index);
    const std::string level_text = read_line(dir + "/level");
    if (level_text.empty()) break;
    const std::string type = read_line(dir + "/type");
    if (type == "Instruction") continue;
    uint64_t level = 0, bytes = 0;
    if (!read_number(level_text, level) || !parse_cache_size(read_line(dir + "/size"), bytes)) continue;
    if (level < best.level) continue;
    best.level = static_cast<uint32_t>(level);
    best.bytes = bytes;
    best.sharers = read_line(dir + "/shared_cpu_list");
  }
  return best;
}

}  // namespace

bool parse_cpu_list(std::string_view text, std::vector<uint32_t>& cpus) {
  cpus.clear();
  if (text.empty()) return false;
  size_t at = 0;
  while (at <= text.size()) {
    const size_t comma = std::min(text.find(',', at), text.size());
    const std::string_view item = text.substr(at, comma - at);
    const size_t dash = item.find('-');
    uint64_t first = 0, last = 0;
    if (dash == std::string_view::npos) {
      if (!read_number(item, first)) return false;
      last = first;
    } else if (!read_number(item.substr(0, dash), first) || !read_number(item.substr(dash + 1), last)) {
      return false;
    }
    if (first > last || last > kMaxCpu) return false;
    for (uint64_t cpu = first; cpu <= last; ++cpu) cpus.push_back(static_cast<uint32_t>(cpu));
    at = comma + 1;
  }
  return true;
}

bool parse_cache_size(std::string_view text, uint64_t& bytes) {
  uint64_t scale = 1;
  if (!text.empty() && (text.back() == 'K' || text.back() == 'M' || text.back() == 'G')) {
    scale = text.back() == 'K' ? 1024u : text.back() == 'M' ? 1024u * 1024u : 1024u * 1024u * 1024u;
    text.remove_suffix(1);
  }
  uint64_t value = 0;
  if (!read_number(text, value) || value > (uint64_t{1} << 40)) return false;
  bytes = value * scale;
  return true;
}

base::status read_topology(const std::string& root, topology& out) {
  out.cores.clear();
  const std::string base_dir = root + "/devices/system/cpu";
  std::vector<uint32_t> online;
  const std::string online_text = read_line(base_dir + "/online");
  if (!parse_cpu_list(online_text, online)) {
    return base::status::error(base::status_code::kNotFound,
                               "Cannot read the online CPUs from " + base_dir + "/online");
  }
  // Cores keyed by (package, core id); caches keyed by their sharer list.
  std::map<std::pair<uint64_t, uint64_t>, size_t> core_of;
  std::vector<std::string> core_cache;
  std::map<std::string, std::pair<uint64_t, std::set<size_t>>> caches;
  for (uint32_t cpu : online) {
    const std::string dir = base_dir + "/cpu" + std::to_string(cpu);
    uint64_t package = 0, core = cpu;
    // Without topology files each logical CPU counts as a core of its own.
    if (!read_number(read_line(dir + "/topology/physical_package_id"), package)) package = 0;
    if (!read_number(read_line(dir + "/topology/core_id"), core)) core = uint64_t{1} << 32 | cpu;
    const auto [entry, added] = core_of.emplace(std::make_pair(package, core), out.cores.size());
    if (!added) out.cores[entry->second].cpus.push_back(cpu);
    if (added) {
      core_info info;
      info.first_cpu = cpu;
      info.cpus.push_back(cpu);
      out.cores.push_back(info);
      const cache_record cache = last_level_cache(dir);
      const std::string key = cache.level == 0 ? std::string() : std::to_string(cache.level) + ":" + cache.sharers;
      core_cache.push_back(key);
      if (!key.empty()) {
        caches[key].first = cache.bytes;
        caches[key].second.insert(entry->second);
      }
    }
  }
  for (size_t i = 0; i < out.cores.size(); ++i) {
    const auto found = caches.find(core_cache[i]);
    if (found == caches.end()) continue;
    out.cores[i].cache_share = found->second.first / found->second.second.size();
  }
  return base::status::ok();
}

void keep_allowed_cpus(topology& t, const std::vector<uint32_t>& allowed) {
  if (allowed.empty()) return;
  std::vector<core_info> kept;
  for (core_info& core : t.cores) {
    const auto found = std::find_first_of(core.cpus.begin(), core.cpus.end(), allowed.begin(), allowed.end());
    if (found == core.cpus.end()) continue;
    core.first_cpu = *found;
    kept.push_back(std::move(core));
  }
  t.cores = std::move(kept);
}

uint32_t auto_thread_count(const topology& t, uint64_t scratchpad_bytes) {
  uint32_t count = 0;
  for (const core_info& core : t.cores)
    if (scratchpad_bytes != 0 && core.cache_share >= scratchpad_bytes) ++count;
  return std::max<uint32_t>(count, 1);
}

}  // namespace cpu
