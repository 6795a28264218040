#include "monitor/gpu_monitor.h"

#include <CL/cl_ext.h>

#include <algorithm>
#include <memory>

#include "monitor/cl_info.h"
#include "monitor/nvml.h"
#include "monitor/sysfs.h"

namespace monitor {
namespace {

// NVIDIA's PCI queries (cl_nv_device_attribute_query).
constexpr cl_device_info kDevicePciBusIdNv = 0x4008;
constexpr cl_device_info kDevicePciSlotIdNv = 0x4009;


// The whole text of a device query; ok tells whether the query succeeded.
std::string WholeDeviceText(cl_device_id device, cl_device_info what, bool& ok) {
  std::string text;
  ok = monitor::DeviceText(device, what, text) == CL_SUCCESS;
  return text;
}

bool HasExtension(const std::string& extensions, const char* name) {
  return (" " + extensions + " ").find(std::string(" ") + name + " ") != std::string::npos;
}

// Device identity from OpenCL; kDeviceError on a failed query.
base::status IdentifyDevice(cl_device_id device, DeviceIdentity& identity) {
  bool ok = false;
  identity.name = WholeDeviceText(device, CL_DEVICE_NAME, ok);
  if (ok) WholeDeviceText(device, CL_DEVICE_VENDOR, ok);
  if (!ok) return base::status::error(base::status_code::kDeviceError, "Error querying device name.");
  const std::string extensions = WholeDeviceText(device, CL_DEVICE_EXTENSIONS, ok);
  if (HasExtension(extensions, "cl_amd_device_attribute_query")) {
    identity.vendor = DeviceVendor::kAmd;
    cl_device_topology_amd topology{};
    if (clGetDeviceInfo(device, CL_DEVICE_TOPOLOGY_AMD, sizeof(topology), &topology, nullptr) !=
        CL_SUCCESS) {
      return base::status::error(base::status_code::kDeviceError, "Error querying device.");
    }
    if (topology.raw.type == CL_DEVICE_TOPOLOGY_TYPE_PCIE_AMD) {
      // The vendor declares the bus byte signed; buses above 127 read as
      // negative numbers there, so take the byte as unsigned.
      identity.bus = static_cast<uint8_t>(topology.pcie.bus);
      identity.pci_device = static_cast<uint8_t>(topology.pcie.device);
    }
    identity.board_name = WholeDeviceText(device, CL_DEVICE_BOARD_NAME_AMD, ok);
    if (!ok) identity.board_name.clear();
  } else if (HasExtension(extensions, "cl_nv_device_attribute_query")) {
    identity.vendor = DeviceVendor::kNvidia;
    cl_uint bus = 0, slot = 0;
    if (clGetDeviceInfo(device, kDevicePciBusIdNv, sizeof(bus), &bus, nullptr) == CL_SUCCESS &&
        clGetDeviceInfo(device, kDevicePciSlotIdNv, sizeof(slot), &slot, nullptr) ==
            CL_SUCCESS) {
      identity.bus = static_cast<int32_t>(bus & 0xFF);
      // The slot query packs device << 3 | function.
      identity.pci_device = static_cast<int32_t>((slot >> 3) & 0x1F);
    }
  }
  return base::status::ok();
}

// A second initialisation without a shutdown between is a caller's mistake.
base::status AlreadyInitialized() {
  return base::status::error(base::status_code::kInvalidInput, "already initialized");
}

}  // namespace

struct gpu_monitor::state {
  std::vector<AdapterRecord> table;
  Nvml nvml;
};

gpu_monitor::gpu_monitor(std::string sysfs_root) : sysfs_root_(std::move(sysfs_root)) {}

gpu_monitor::~gpu_monitor() = default;

const AdapterRecord* gpu_monitor::record(uint32_t ordinal) const {
  if (!state_ || ordinal >= state_->table.size()) return nullptr;
  return &state_->table[ordinal];
}

base::status gpu_monitor::init(cl_platform_id platform, bool any_device) {
  if (state_) return AlreadyInitialized();
  const cl_device_type type = any_device ? CL_DEVICE_TYPE_ALL : CL_DEVICE_TYPE_GPU;
  cl_uint count = 0;
  cl_int status = clGetDeviceIDs(platform, type, 0, nullptr, &count);
  // A platform without such devices is not the monitor's failure: discovery
  // reports the missing device itself.
  if (status == CL_DEVICE_NOT_FOUND) count = 0;
  else if (status != CL_SUCCESS) {
    return base::status::error(base::status_code::kDeviceError,
                               "Error calling clGetDeviceIDs for number of devices.");
  }
  std::vector<cl_device_id> devices(count);
  if (count > 0 && clGetDeviceIDs(platform, type, count, devices.data(), nullptr) != CL_SUCCESS) {
    return base::status::error(base::status_code::kDeviceError,
                               "Error calling clGetDeviceIDs for device ID information.");
  }
  std::vector<DeviceIdentity> identities(count);
  for (cl_uint i = 0; i < count; ++i) {
    if (base::status s = IdentifyDevice(devices[i], identities[i]); !s) return s;
  }
  return init_for_devices(identities);
}

base::status gpu_monitor::init_for_devices(const std::vector<DeviceIdentity>& devices) {
  if (state_) return AlreadyInitialized();
  auto monitor = std::make_unique<state>();
  for (const DeviceIdentity& identity : devices) {
    AdapterRecord record;
    record.identity = identity;
    record.adapter_name = identity.board_name;
    monitor->table.push_back(record);
  }
  // Several PCI functions of one card share its bus (like the several
  // logical adapters per GPU of other driver stacks): only the first one
  // of a run of equal buses counts, and it goes to the first device there.
  int32_t last_bus = -1;
  for (const SysfsAdapter& adapter : ListSysfsAdapters(sysfs_root_)) {
    if (adapter.bus == last_bus) continue;
    for (AdapterRecord& record : monitor->table) {
      if (record.identity.bus == adapter.bus) {
        record.address = adapter.address;
        break;
      }
    }
    last_bus = adapter.bus;
  }
  const bool any_nvidia = std::any_of(devices.begin(), devices.end(), [](const DeviceIdentity& d) {
    return d.vendor == DeviceVendor::kNvidia;
  });
  if (any_nvidia && monitor->nvml.Load()) {
    for (AdapterRecord& record : monitor->table) {
      if (record.identity.vendor != DeviceVendor::kNvidia) continue;
      record.nvml_device = monitor->nvml.DeviceByPci(record.identity.bus, record.identity.pci_device);
      if (record.adapter_name.empty()) record.adapter_name = monitor->nvml.Name(record.nvml_device);
    }
  }
  state_ = std::move(monitor);
  return base::status::ok();
}

void gpu_monitor::shutdown() { state_.reset(); }

std::string gpu_monitor::adapter_name(uint32_t ordinal) const {
  const AdapterRecord* found = record(ordinal);
  return found != nullptr ? found->adapter_name : std::string();
}

float gpu_monitor::temperature(uint32_t ordinal) const {
  const AdapterRecord* found = record(ordinal);
  if (found == nullptr) return -1.0f;
  if (found->nvml_device != nullptr) return state_->nvml.Temperature(found->nvml_device);
  int64_t millidegrees = 0;
  if (found->address.empty() ||
      !ReadHwmonValue(sysfs_root_, found->address, "temp1_input", millidegrees)) {
    return -1.0f;
  }
  return static_cast<float>(static_cast<double>(millidegrees) * 0.001);
}

int32_t gpu_monitor::fan_speed(uint32_t ordinal) const {
  const AdapterRecord* found = record(ordinal);
  if (found == nullptr) return -1;
  if (found->nvml_device != nullptr) return state_->nvml.FanSpeed(found->nvml_device);
  int64_t rpm = 0;
  if (found->address.empty() || !ReadHwmonValue(sysfs_root_, found->address, "fan1_input", rpm) ||
      rpm < 0 || rpm > INT32_MAX) {
    return -1;
  }
  return static_cast<int32_t>(rpm);
}

// The setting lives in a driver registry key that Linux does not have.
bool LargePagesEnabled(uint32_t /*ordinal*/) { return false; }

std::vector<AdapterRecord> gpu_monitor::table() const {
  return state_ ? state_->table : std::vector<AdapterRecord>();
}

}  // namespace monitor
