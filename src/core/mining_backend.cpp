#include "core/mining_backend.h"

#include "monitor/gpu_monitor.h"
#include "monitor/temperature_guard.h"

namespace core {

device_sensors mining_backend::sensors(size_t thread) const {
  const uint32_t device = device_number(thread);
  device_sensors readings;
  readings.temperature_c = monitor::GetTemperature(device);
  readings.fan_rpm = monitor::GetFanSpeed(device);
  readings.paused = monitor::GpuPaused(device);
  return readings;
}

}  // namespace core
