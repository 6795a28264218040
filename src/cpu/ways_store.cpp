#include "cpu/ways_store.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "crypto/algorithm.h"
#include "crypto/cryptonight_ways.h"

namespace cpu {
namespace {

constexpr const char* kMagic = "orbeck cpu ways 1";

}  // namespace

std::map<int32_t, ways_entry> parse_ways_store(const std::string& text, const std::string& owner) {
  std::map<int32_t, ways_entry> entries;
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || line != kMagic) return entries;
  if (!std::getline(in, line) || line != "owner=" + owner) return entries;
  while (std::getline(in, line)) {
    int algorithm = -1, ways = 0;
    double rate = 0.0;
    char rest = 0;
    if (std::sscanf(line.c_str(), "algo %d %d %lf %c", &algorithm, &ways, &rate, &rest) != 3) continue;
    if (algorithm < 0 || algorithm >= crypto::kAlgoCount || ways < 1 || ways > crypto::kMaxWays) continue;
    if (!(rate >= 0.0 && rate <= 1e12)) continue;
    entries[algorithm] = ways_entry{ways, rate};
  }
  return entries;
}

std::string format_ways_store(const std::string& owner, const std::map<int32_t, ways_entry>& entries) {
  std::string text = std::string(kMagic) + "\nowner=" + owner + "\n";
  for (const auto& [algorithm, entry] : entries) {
    char line[64];
    std::snprintf(line, sizeof(line), "algo %d %d %.1f\n", algorithm, entry.ways, entry.hash_rate);
    text += line;
  }
  return text;
}

std::string ways_store_path() {
  const char* xdg = std::getenv("XDG_CACHE_HOME");
  if (xdg != nullptr && xdg[0] != '\0') return std::string(xdg) + "/orbeck-vega/cpu-ways";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return std::string(home) + "/.cache/orbeck-vega/cpu-ways";
  return std::string();
}

std::string ways_owner(uint32_t threads) {
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line, model = "unknown";
  while (std::getline(cpuinfo, line)) {
    if (line.rfind("model name", 0) != 0) continue;
    const size_t colon = line.find(':');
    if (colon != std::string::npos) model = line.substr(line.find_first_not_of(' ', colon + 1));
    break;
  }
  // Keep the header one line whatever the model text holds.
  for (char& c : model)
    if (c == '\n' || c == '\r') c = ' ';
  return model + ", " + std::to_string(threads) + " threads";
}

std::map<int32_t, ways_entry> load_ways(const std::string& path, const std::string& owner) {
  if (path.empty()) return {};
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return parse_ways_store(text.str(), owner);
}

base::status store_ways(const std::string& path, const std::string& owner,
                        const std::map<int32_t, ways_entry>& entries) {
  if (path.empty()) return base::status::error(base::status_code::kNotFound, "no cache directory to store in");
  std::error_code error;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), error);
  const std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << format_ways_store(owner, entries);
    if (!out.flush()) {
      std::remove(temporary.c_str());
      return base::status::error(base::status_code::kIoError, "cannot write " + temporary);
    }
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    const int saved = errno;
    std::remove(temporary.c_str());
    return base::status::from_errno(saved, "cannot replace " + path);
  }
  return base::status::ok();
}

}  // namespace cpu
