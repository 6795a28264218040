#include "monitor/nvml.h"

#include <dlfcn.h>

#include <cstdio>

namespace monitor {
namespace {

constexpr int kNvmlSuccess = 0;
constexpr int kNvmlTemperatureGpu = 0;

template <typename Fn>
Fn Lookup(void* library, const char* name) {
  return reinterpret_cast<Fn>(dlsym(library, name));
}

}  // namespace

Nvml::~Nvml() {
  if (library_ == nullptr) return;
  if (shutdown_ != nullptr) shutdown_();
  dlclose(library_);
}

bool Nvml::Load() {
  if (library_ != nullptr) return true;
  void* library = dlopen("libnvidia-ml.so.1", RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return false;
  auto init = Lookup<InitFn>(library, "nvmlInit_v2");
  shutdown_ = Lookup<ShutdownFn>(library, "nvmlShutdown");
  by_bus_id_ = Lookup<ByBusIdFn>(library, "nvmlDeviceGetHandleByPciBusId_v2");
  temperature_ = Lookup<TemperatureFn>(library, "nvmlDeviceGetTemperature");
  fan_speed_ = Lookup<FanFn>(library, "nvmlDeviceGetFanSpeed");
  name_ = Lookup<NameFn>(library, "nvmlDeviceGetName");
  if (init == nullptr || shutdown_ == nullptr || by_bus_id_ == nullptr || init() != kNvmlSuccess) {
    shutdown_ = nullptr;
    dlclose(library);
    return false;
  }
  library_ = library;
  return true;
}

void* Nvml::DeviceByPci(int32_t bus, int32_t device) const {
  if (library_ == nullptr || bus < 0 || device < 0) return nullptr;
  char bus_id[32];
  std::snprintf(bus_id, sizeof(bus_id), "00000000:%02x:%02x.0", bus & 0xFF, device & 0xFF);
  void* handle = nullptr;
  return by_bus_id_(bus_id, &handle) == kNvmlSuccess ? handle : nullptr;
}

float Nvml::Temperature(void* device) const {
  unsigned value = 0;
  if (device == nullptr || temperature_ == nullptr ||
      temperature_(device, kNvmlTemperatureGpu, &value) != kNvmlSuccess) {
    return -1.0f;
  }
  return static_cast<float>(value);
}

int32_t Nvml::FanSpeed(void* device) const {
  unsigned value = 0;
  if (device == nullptr || fan_speed_ == nullptr || fan_speed_(device, &value) != kNvmlSuccess) {
    return -1;
  }
  return static_cast<int32_t>(value);
}

std::string Nvml::Name(void* device) const {
  char name[96] = {};
  if (device == nullptr || name_ == nullptr || name_(device, name, sizeof(name)) != kNvmlSuccess) {
    return {};
  }
  name[sizeof(name) - 1] = 0;
  return name;
}

}  // namespace monitor
