#include "monitor/sysfs.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <system_error>

namespace monitor {
namespace fs = std::filesystem;

namespace {

std::string ReadFirstLine(const fs::path& path) {
  std::ifstream in(path);
  std::string line;
  if (in) std::getline(in, line);
  return line;
}

// hwmon directories of one PCI function, sorted so hwmon0 comes first.
std::vector<fs::path> HwmonDirs(const std::string& root, const std::string& address) {
  std::vector<fs::path> dirs;
  std::error_code ec;
  const fs::path base = fs::path(root) / "bus/pci/devices" / address / "hwmon";
  for (fs::directory_iterator it(base, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().filename().string().rfind("hwmon", 0) == 0) dirs.push_back(it->path());
  }
  std::sort(dirs.begin(), dirs.end());
  return dirs;
}

}  // namespace

int32_t BusFromPciAddress(const std::string& address) {
  // [domain:]bus:device.function, all hexadecimal.
  static const std::regex kAddress(
      "^(?:[0-9a-fA-F]{4,8}:)?([0-9a-fA-F]{2}):[0-9a-fA-F]{2}\\.[0-7]$");
  std::smatch match;
  if (!std::regex_match(address, match, kAddress)) return -1;
  return static_cast<int32_t>(std::stoul(match[1].str(), nullptr, 16));
}

std::vector<SysfsAdapter> ListSysfsAdapters(const std::string& root) {
  std::vector<SysfsAdapter> adapters;
  std::error_code ec;
  const fs::path devices = fs::path(root) / "bus/pci/devices";
  for (fs::directory_iterator it(devices, ec), end; !ec && it != end; it.increment(ec)) {
    SysfsAdapter adapter;
    adapter.address = it->path().filename().string();
    adapter.bus = BusFromPciAddress(adapter.address);
    if (adapter.bus < 0) continue;
    const bool display = ReadFirstLine(it->path() / "class").rfind("0x03", 0) == 0;
    const std::vector<fs::path> hwmon = HwmonDirs(root, adapter.address);
    if (!display && hwmon.empty()) continue;
    if (!hwmon.empty()) adapter.name = ReadFirstLine(hwmon.front() / "name");
    adapters.push_back(adapter);
  }
  std::sort(adapters.begin(), adapters.end(),
            [](const SysfsAdapter& a, const SysfsAdapter& b) { return a.address < b.address; });
  return adapters;
}

bool ReadHwmonValue(const std::string& root, const std::string& address, const char* file,
                    int64_t& value) {
  for (const fs::path& dir : HwmonDirs(root, address)) {
    const std::string text = ReadFirstLine(dir / file);
    long long parsed = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%lld%c", &parsed, &tail) == 1) {
      value = parsed;
      return true;
    }
  }
  return false;
}

}  // namespace monitor
