// GPU start-up: platform choice, device checks, contexts, the per-GPU
// banner and driver notices, and the full initialisation of one GPU. Runs
// on the main thread before any mining thread exists (InitOpenCLGpu also
// during a reset, with the GPU's mining thread stopped or between rounds).
#pragma once

#include <CL/cl.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/status.h"
#include "gpu/backend_options.h"
#include "gpu/gpu_context.h"
#include "gpu/intensity.h"
#include "monitor/gpu_monitor.h"

namespace gpu {

// Printed after the auto-detect failure when --anydevice is not given.
extern const char* const kAnyDeviceHint;

// The whole GPU start-up of options.gpu_list into `contexts` (replaced, one
// record per entry), with the platform's sensors into `sensors`: ok, or the
// first failure, which has been printed.
base::status InitGpus(const backend_options& options, std::vector<GpuContext>& contexts,
                      monitor::gpu_monitor& sensors);

// The OpenCL platform the GPUs are taken from, with its version text.
struct SelectedPlatform {
  cl_platform_id id = nullptr;
  std::string version;  // CL_PLATFORM_VERSION
};
// Platform by index, or auto-detected (-1; with any_device a platform
// without AMD devices qualifies) into `out`: ok, kNotFound (no such index,
// or auto-detect found none) or kDeviceError (an OpenCL query failed), with
// the text to print. On failure `out` is empty.
base::status SelectPlatform(int32_t index, bool any_device, SelectedPlatform& out);

// What auto-detect looks at for each platform, in platform order.
struct PlatformInfo {
  std::string version;        // CL_PLATFORM_VERSION
  uint32_t device_count = 0;  // devices of any type
};
// True for version texts beginning "OpenCL 2.0 AMD-APP" or "OpenCL 2.1 AMD-APP".
bool IsAmdPlatformVersion(const std::string& version);
// Index of the first AMD platform; with any_device, else of the first
// platform that has a device; -1 when none qualifies.
int32_t ChoosePlatform(const std::vector<PlatformInfo>& platforms, bool any_device);

// Device type the backend enumerates: GPUs, or every device with any_device.
cl_device_type EnumeratedDeviceType(bool any_device);
// Names of the supported AMD chips: "gfx900", "gfx901", "gfx902", "Ellesmere".
bool IsSupportedDeviceName(const std::string& name);
// Leading decimal integer of a CL_DRIVER_VERSION text (0 without digits).
uint32_t DriverVersionNumber(const std::string& driver_version);

// Contexts, driver flags and notices, and InitOpenCLGpu for each record
// (each keeps a copy of options): ok, kDeviceError (an OpenCL call
// failed), kNotFound (a missing device) or InitOpenCLGpu's first failure.
// Every failure has been printed.
base::status InitOpenCL(const device_options& options, GpuContext* contexts, size_t count,
                        uint64_t scratchpad_bytes, bool build_kernel);

// Device queries and check, intensity, banner (first time), program,
// queues, buffers and arguments, with the record's options: ok,
// kUnsupported (a device this build does not mine on, or a step that
// refused it), kDeviceError, or kNotFound (kernel source or cache missing).
// Every failure has been printed.
base::status InitOpenCLGpu(GpuContext& ctx, bool build_kernel, bool first_time);

// The intensity table of an initialised GPU for a scratchpad size.
GpuIntensityConfig DeviceIntensityTable(const GpuContext& ctx, uint64_t scratchpad_bytes);

}  // namespace gpu
