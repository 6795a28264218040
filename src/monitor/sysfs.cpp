#include "monitor/sysfs.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
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
  // [domain:]bus:device.function, all hexadecimal: "0000:03:00.0".
  auto hex = [](const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) {
      return std::isxdigit(c) != 0;
    });
  };
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t colon = address.find(':'); colon != std::string::npos;
       colon = address.find(':', start)) {
    parts.push_back(address.substr(start, colon - start));
    start = colon + 1;
  }
  parts.push_back(address.substr(start));
  if (parts.size() == 3) {
    if (parts[0].size() < 4 || parts[0].size() > 8 || !hex(parts[0])) return -1;
    parts.erase(parts.begin());
  }
  if (parts.size() != 2 || parts[0].size() != 2 || !hex(parts[0])) return -1;
  const std::string& slot = parts[1];
  if (slot.size() != 4 || !hex(slot.substr(0, 2)) || slot[2] != '.' || slot[3] < '0' ||
      slot[3] > '7') {
    return -1;
  }
  return static_cast<int32_t>(std::stoul(parts[0], nullptr, 16));
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
