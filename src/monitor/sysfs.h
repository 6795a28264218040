// Linux sysfs access for GPU sensors: PCI display adapters and their hwmon
// readings below a configurable root ("/sys" normally, a fake tree in tests).
// Stateless apart from the root; any thread, but set the root before use.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace monitor {

// One PCI function that the display driver exposes, in directory order.
struct SysfsAdapter {
  std::string address;  // "0000:03:00.0"
  int32_t bus = -1;     // PCI bus number, 0..255
  std::string name;     // hwmon "name" (e.g. "amdgpu"), empty if none
};

// Parses "DDDD:BB:DD.F" (or "BB:DD.F"); bus -1 when the text is no address.
int32_t BusFromPciAddress(const std::string& address);

// Display controllers (PCI class 0x03xxxx) and other functions with a hwmon
// directory below <root>/bus/pci/devices, sorted by address.
std::vector<SysfsAdapter> ListSysfsAdapters(const std::string& root);

// First <root>/bus/pci/devices/<address>/hwmon/hwmon*/<file> that exists,
// read as a decimal integer; false when none can be read.
bool ReadHwmonValue(const std::string& root, const std::string& address, const char* file,
                    int64_t& value);

}  // namespace monitor
