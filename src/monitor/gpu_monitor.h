// The GPU monitor: ties each OpenCL device of the selected platform to its
// sensors (sysfs hwmon for amdgpu, NVML for NVIDIA, nothing elsewhere). The
// backend owns one; the table is read-only once initialised.
#pragma once

#include <CL/cl.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/status.h"

namespace monitor {

enum class DeviceVendor { kOther, kAmd, kNvidia };

// What the monitor needs to know of one OpenCL device.
struct DeviceIdentity {
  std::string name;        // CL_DEVICE_NAME
  std::string board_name;  // AMD board name query, empty where unsupported
  DeviceVendor vendor = DeviceVendor::kOther;
  int32_t bus = -1;         // PCI bus number 0..255, -1 when unknown
  int32_t pci_device = -1;  // PCI device number, -1 when unknown
};

// One entry per device of the platform, indexed by OpenCL ordinal.
struct AdapterRecord {
  DeviceIdentity identity;
  std::string address;       // matched PCI address in sysfs, empty if none
  std::string adapter_name;  // what the banner shows
  void* nvml_device = nullptr;
};

// The sensor table of one backend: built once on the main thread before the
// mining threads start (init), read-only afterwards, so the readers may run
// on any thread; shutdown (or destruction) after the readers have stopped.
class gpu_monitor {
 public:
  // sysfs_root: where sysfs lives ("/sys", a fake tree in tests).
  explicit gpu_monitor(std::string sysfs_root = "/sys");
  ~gpu_monitor();
  gpu_monitor(const gpu_monitor&) = delete;
  gpu_monitor& operator=(const gpu_monitor&) = delete;

  // Reads the platform's devices (GPU devices, or all devices when
  // any_device) and matches them to sensors. Missing sensors are not an
  // error; fails only with kDeviceError for an OpenCL query or
  // kInvalidInput ("already initialized") for a second call. Nothing is
  // printed: the caller prints the message.
  base::status init(cl_platform_id platform, bool any_device);
  // The same from identities gathered elsewhere (tests, fake sysfs trees).
  base::status init_for_devices(const std::vector<DeviceIdentity>& devices);
  // Releases the table and NVML; init may be called again after it.
  void shutdown();

  // Adapter name, empty for an ordinal outside the table or without a name.
  std::string adapter_name(uint32_t ordinal) const;
  // Degrees Celsius; -1.0 outside the table or without a reading.
  float temperature(uint32_t ordinal) const;
  // Fan speed (RPM from hwmon, percent from NVML); -1 without a reading.
  int32_t fan_speed(uint32_t ordinal) const;
  // Test view of the table; empty before initialisation.
  std::vector<AdapterRecord> table() const;

 private:
  struct state;
  const AdapterRecord* record(uint32_t ordinal) const;

  const std::string sysfs_root_;
  std::unique_ptr<state> state_;
};

// There is no driver registry on Linux: large pages always count as off.
bool LargePagesEnabled(uint32_t ordinal);

}  // namespace monitor
