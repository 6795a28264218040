// NVIDIA sensors through NVML, loaded at run time from libnvidia-ml.so.1 so
// the program runs without it. Load once on the main thread before readers
// start; the read functions may then be called from any thread.
#pragma once

#include <cstdint>
#include <string>

namespace monitor {

class Nvml {
 public:
  Nvml() = default;
  ~Nvml();
  Nvml(const Nvml&) = delete;
  Nvml& operator=(const Nvml&) = delete;

  // Loads and initialises the library; false when it is absent or fails.
  bool Load();
  bool loaded() const { return library_ != nullptr; }

  // Device handle for PCI bus/device numbers (domain 0), nullptr if unknown.
  void* DeviceByPci(int32_t bus, int32_t device) const;
  // Degrees Celsius, or -1.0 on error.
  float Temperature(void* device) const;
  // Fan speed as NVML reports it (percent of maximum), or -1 on error.
  int32_t FanSpeed(void* device) const;
  // Product name, empty on error.
  std::string Name(void* device) const;

 private:
  using InitFn = int (*)();
  using ShutdownFn = int (*)();
  using ByBusIdFn = int (*)(const char*, void**);
  using TemperatureFn = int (*)(void*, int, unsigned*);
  using FanFn = int (*)(void*, unsigned*);
  using NameFn = int (*)(void*, char*, unsigned);

  void* library_ = nullptr;
  ShutdownFn shutdown_ = nullptr;
  ByBusIdFn by_bus_id_ = nullptr;
  TemperatureFn temperature_ = nullptr;
  FanFn fan_speed_ = nullptr;
  NameFn name_ = nullptr;
};

}  // namespace monitor
