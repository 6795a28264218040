// The GPU monitor: ties each OpenCL device of the selected platform to its
// sensors (sysfs hwmon for amdgpu, NVML for NVIDIA, nothing elsewhere).
// Initialise once on the main thread before the mining threads start; the
// table is read-only afterwards and the readers may run on any thread.
#pragma once

#include <CL/cl.h>

#include <cstdint>
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

// Reads the platform's devices (GPU devices, or all devices when
// any_device) and matches them to sensors. Missing sensors are not an
// error; fails only with kDeviceError for an OpenCL query or kInvalidInput
// ("already initialized") for a second call. Nothing is printed: the
// caller prints the message.
base::status InitGpuMonitor(cl_platform_id platform, bool any_device);
// The same from identities gathered elsewhere (tests, fake sysfs trees).
base::status InitGpuMonitorForDevices(const std::vector<DeviceIdentity>& devices);
// Releases the table and NVML; InitGpuMonitor may be called again after it.
void ShutdownGpuMonitor();

// Where sysfs lives ("/sys" unless set); set it before InitGpuMonitor.
void SetSysfsRoot(const std::string& root);

// Adapter name, empty for an ordinal outside the table or without a name.
std::string GetAdapterName(uint32_t ordinal);
// Degrees Celsius; -1.0 outside the table or without a reading.
float GetTemperature(uint32_t ordinal);
// Fan speed (RPM from hwmon, percent from NVML); -1 without a reading.
int32_t GetFanSpeed(uint32_t ordinal);
// There is no driver registry on Linux: large pages always count as off.
bool LargePagesEnabled(uint32_t ordinal);

// Test view of the table; empty before initialisation.
std::vector<AdapterRecord> AdapterTable();

}  // namespace monitor
