#include "gpu/discovery.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "base/printer.h"
#include "crypto/algorithm.h"
#include "gpu/autotune.h"
#include "gpu/cl_call.h"
#include "gpu/intensity.h"
#include "gpu/launch.h"
#include "gpu/program.h"
#include "monitor/cl_info.h"
#include "monitor/gpu_monitor.h"

namespace gpu {

const char* const kAnyDeviceHint =
    "No AMD platform: to mine on another OpenCL device (NVIDIA GPU, CPU), add --anydevice.";

namespace {

constexpr const char* kAutodetectError =
    "Could not autodetect AMD OpenCL plattform, please specifiy with --opencl=?";

base::printer& out() { return base::printer::inst(); }

}  // namespace

bool IsAmdPlatformVersion(const std::string& version) {
  return version.rfind("OpenCL 2.0 AMD-APP", 0) == 0 ||
         version.rfind("OpenCL 2.1 AMD-APP", 0) == 0;
}

int32_t ChoosePlatform(const std::vector<PlatformInfo>& platforms, bool any_device) {
  for (size_t i = 0; i < platforms.size(); ++i) {
    if (IsAmdPlatformVersion(platforms[i].version)) return static_cast<int32_t>(i);
  }
  if (!any_device) return -1;
  for (size_t i = 0; i < platforms.size(); ++i) {
    if (platforms[i].device_count > 0) return static_cast<int32_t>(i);
  }
  return -1;
}

cl_device_type EnumeratedDeviceType(bool any_device) {
  return any_device ? CL_DEVICE_TYPE_ALL : CL_DEVICE_TYPE_GPU;
}

bool IsSupportedDeviceName(const std::string& name) {
  return name == "gfx900" || name == "gfx901" || name == "gfx902" || name == "Ellesmere";
}

uint32_t DriverVersionNumber(const std::string& driver_version) {
  uint64_t number = 0;
  for (char c : driver_version) {
    if (!std::isdigit(static_cast<unsigned char>(c))) break;
    number = std::min<uint64_t>(number * 10 + static_cast<uint64_t>(c - '0'), UINT32_MAX);
  }
  return static_cast<uint32_t>(number);
}

base::status SelectPlatform(int32_t index, bool any_device, SelectedPlatform& out) {
  out = SelectedPlatform();
  const auto failed = [](base::status_code code, std::string text) {
    return base::status::error(code, std::move(text));
  };
  cl_uint count = 0;
  if (clGetPlatformIDs(0, nullptr, &count) != CL_SUCCESS) {
    return failed(base::status_code::kDeviceError,
                  "Error calling clGetPlatformIDs for number of platforms.");
  }
  if (index != -1 && (index < 0 || static_cast<cl_uint>(index) >= count)) {
    return failed(base::status_code::kNotFound,
                  "Selected OpenCL platform index " + std::to_string(index) + " doesn't exist.");
  }
  if (count == 0) return failed(base::status_code::kNotFound, kAutodetectError);
  std::vector<cl_platform_id> platforms(count);
  if (clGetPlatformIDs(count, platforms.data(), nullptr) != CL_SUCCESS) {
    return failed(base::status_code::kDeviceError,
                  "Error calling clGetPlatformIDs for platform ID information.");
  }
  std::string version;
  if (index != -1) {
    if (monitor::PlatformText(platforms[index], CL_PLATFORM_VERSION, version, kFieldChars) !=
        CL_SUCCESS) {
      return failed(base::status_code::kDeviceError, "Error querying platform info.");
    }
    out = SelectedPlatform{platforms[index], std::move(version)};
    return base::status::ok();
  }
  std::vector<PlatformInfo> infos(count);
  for (cl_uint i = 0; i < count; ++i) {
    if (monitor::PlatformText(platforms[i], CL_PLATFORM_VERSION, infos[i].version, kFieldChars) !=
        CL_SUCCESS) {
      return failed(base::status_code::kDeviceError, "Error querying platform info.");
    }
    if (IsAmdPlatformVersion(infos[i].version)) {
      out = SelectedPlatform{platforms[i], infos[i].version};
      return base::status::ok();
    }
    cl_uint devices = 0;
    if (clGetDeviceIDs(platforms[i], CL_DEVICE_TYPE_ALL, 0, nullptr, &devices) == CL_SUCCESS) {
      infos[i].device_count = devices;
    }
  }
  const int32_t chosen = ChoosePlatform(infos, any_device);
  if (chosen < 0) return failed(base::status_code::kNotFound, kAutodetectError);
  out = SelectedPlatform{platforms[chosen], infos[chosen].version};
  return base::status::ok();
}

base::status InitGpus(const backend_options& options, std::vector<GpuContext>& contexts,
                      monitor::gpu_monitor& sensors) {
  out().print_leveled(base::kInfo, "Initializing GPU, loading kernel ...");
  SelectedPlatform selected;
  if (base::status s = SelectPlatform(options.platform_index, options.device.any_device, selected);
      !s) {
    out().print_error("%s", s.message().c_str());
    // Only auto-detect (index -1) finds no platform; --anydevice widens it.
    const bool autodetect_failed =
        options.platform_index == -1 && s.code() == base::status_code::kNotFound;
    if (autodetect_failed && !options.device.any_device) out().print_error("%s", kAnyDeviceHint);
    return s;
  }
  const cl_platform_id platform = selected.id;
  out().print_grey_text("Detected OpenCL Platform: %s\n", selected.version.c_str());
  if (base::status s = sensors.init(platform, options.device.any_device); !s) {
    out().print_error("%s", s.message().c_str());
    return s;
  }
  // Built in place: the records are move-only and never move afterwards.
  contexts.clear();
  contexts.resize(options.gpu_list.size());
  for (size_t j = 0; j < contexts.size(); ++j) {
    contexts[j].ordinal = options.gpu_list[j];
    contexts[j].work_size = 8;
    contexts[j].intensity = ParseIntensity(options.intensity_text, j);
    contexts[j].tuning_allowed = contexts[j].intensity < 0 && options.device.group_size == 0;
    contexts[j].platform = platform;
    contexts[j].adapter_name = sensors.adapter_name(options.gpu_list[j]);
  }
  if (options.fast_job_switch) out().print_plain("Fast job switching mode enabled.\n");
  if (options.rate_watchdog) out().print_plain("Rate watchdog enabled.\n");
  const int32_t algorithm = options.algorithm == -1 ? 0 : options.algorithm;
  for (GpuContext& ctx : contexts) ctx.setup_algorithm = algorithm;
  return InitOpenCL(options.device, contexts.data(), contexts.size(),
                    crypto::scratchpad_size(algorithm), options.build_kernel);
}

base::status InitOpenCL(const device_options& options, GpuContext* contexts, size_t count,
                        uint64_t scratchpad_bytes, bool build_kernel) {
  if (count == 0) return base::status::ok();
  const cl_platform_id platform = contexts[0].platform;
  const cl_device_type type = EnumeratedDeviceType(options.any_device);
  cl_uint device_count = 0;
  cl_int status = clGetDeviceIDs(platform, type, 0, nullptr, &device_count);
  // No device of the type is a missing device, reported below.
  if (status == CL_DEVICE_NOT_FOUND) {
    device_count = 0;
  } else if (base::status s = ClStatus(status, "Error %s calling clGetDeviceIDs for number of devices.");
             !s) {
    return s;
  }
  for (size_t j = 0; j < count; ++j) {
    if (contexts[j].ordinal >= device_count) {
      const std::string text = "Selected OpenCL device index " +
                               std::to_string(contexts[j].ordinal) + " doesn't exist.\n";
      out().print_error("%s", text.c_str());
      return base::status::error(base::status_code::kNotFound, text);
    }
  }
  std::vector<cl_device_id> devices(device_count);
  if (base::status s = ClStatus(clGetDeviceIDs(platform, type, device_count, devices.data(), nullptr),
                                "Error %s calling clGetDeviceIDs for device ID information.");
      !s) {
    return s;
  }
  for (size_t j = 0; j < count; ++j) {
    contexts[j].platform = platform;
    contexts[j].device = devices[contexts[j].ordinal];
    contexts[j].scratchpad_bytes = scratchpad_bytes;
    contexts[j].options = options;
  }

  bool notice_printed = false;
  for (size_t j = 0; j < count; ++j) {
    GpuContext& ctx = contexts[j];
    status = InjectedFault(ctx, cl_step::create_context);
    if (status == CL_SUCCESS) {
      cl_context created = clCreateContext(nullptr, 1, &ctx.device, nullptr, nullptr, &status);
      ctx.context = status == CL_SUCCESS ? created : nullptr;
    }
    base::status s = ClStatus(status, "Error %s calling clCreateContext %i.", static_cast<int>(j));
    if (!s) return s;
    std::string text;
    s = ClStatus(monitor::PlatformText(platform, CL_PLATFORM_VERSION, text, kFieldChars),
                 "Error %s querying platform version.");
    if (!s) return s;
    CopyField(ctx.platform_version, text);
    s = ClStatus(monitor::DeviceText(ctx.device, CL_DRIVER_VERSION, text, kFieldChars),
                 "Error %s querying driver version.");
    if (!s) return s;
    ctx.blockchain_driver = std::string(ctx.platform_version) == "OpenCL 2.0 AMD-APP (2442.12)";
    ctx.new_driver = DriverVersionNumber(text) >= 2527;
    if (!notice_printed) {
      if (ctx.blockchain_driver) {
        out().print_plain("Blockchain Compute Driver detected.\n");
        notice_printed = true;
      } else if (ctx.new_driver) {
        out().print_plain("Driver Version OK.\n");
        notice_printed = true;
      }
    }
    s = InitOpenCLGpu(ctx, build_kernel, true);
    if (!s) return s;
  }
  // The warning is about the Radeon driver: devices of other vendors
  // (--anydevice) do not ask for it.
  const bool needs_warning = std::any_of(contexts, contexts + count, [](const GpuContext& c) {
    return IsSupportedDeviceName(c.device_name) && !c.is_ellesmere;
  });
  if (!notice_printed && needs_warning) {
    out().print_error("Driver Version Warning.");
    out().print_plain(
        "\nBy updating the Radeon Driver to version 18.3.4 up to 50% higher hash\n"
        "rates can be achieved.\n\n");
  }
  return base::status::ok();
}

GpuIntensityConfig DeviceIntensityTable(const GpuContext& ctx, uint64_t scratchpad_bytes) {
  GenericDevice device;
  device.is_cpu = (ctx.device_type & CL_DEVICE_TYPE_CPU) != 0;
  device.compute_units = ctx.compute_units;
  device.global_mem_bytes = ctx.global_mem_bytes;
  device.max_alloc_bytes = ctx.max_alloc_bytes;
  if (ctx.device_class != kGenericDeviceClass) {
    return SmallScratchpadTable(ctx.device_class, scratchpad_bytes, device);
  }
  return GenericIntensityTable(device, scratchpad_bytes);
}

base::status InitOpenCLGpu(GpuContext& ctx, bool build_kernel, bool first_time) {
  const device_options& options = ctx.options;
  std::string driver_version;
  cl_uint compute_units = 0;
  cl_ulong global_mem = 0;
  size_t max_work_group = 0;
  // The queries stop at the first failure, which is printed and returned.
  base::status queried =
      ClStatus(monitor::DeviceText(ctx.device, CL_DEVICE_NAME, ctx.device_name, kFieldChars),
               "Error %s querying device name.");
  if (queried) {
    queried = ClStatus(clGetDeviceInfo(ctx.device, CL_DEVICE_MAX_COMPUTE_UNITS,
                                       sizeof(compute_units), &compute_units, nullptr),
                       "Error %s querying max compute units.");
  }
  if (queried) {
    queried = ClStatus(monitor::DeviceText(ctx.device, CL_DRIVER_VERSION, driver_version, kFieldChars),
                       "Error %s querying driver version.");
  }
  if (queried) {
    queried = ClStatus(clGetDeviceInfo(ctx.device, CL_DEVICE_GLOBAL_MEM_SIZE, sizeof(global_mem),
                                       &global_mem, nullptr),
                       "Error %s querying global mem size.");
  }
  if (queried) {
    queried = ClStatus(clGetDeviceInfo(ctx.device, CL_DEVICE_MAX_WORK_GROUP_SIZE,
                                       sizeof(max_work_group), &max_work_group, nullptr),
                       "Error %s querying a device's max worksize using clGetDeviceInfo.");
  }
  if (!queried) return queried;
  ctx.driver_version = driver_version;
  ctx.global_mem_bytes = global_mem;
  ctx.compute_units = compute_units;
  ctx.memory_mb = static_cast<uint32_t>(global_mem / 1048576);
  // Optional facts for the generic class and the build options.
  cl_ulong max_alloc = 0;
  if (clGetDeviceInfo(ctx.device, CL_DEVICE_MAX_MEM_ALLOC_SIZE, sizeof(max_alloc), &max_alloc,
                      nullptr) != CL_SUCCESS) {
    max_alloc = global_mem / 4;
  }
  ctx.max_alloc_bytes = max_alloc;
  if (clGetDeviceInfo(ctx.device, CL_DEVICE_TYPE, sizeof(ctx.device_type), &ctx.device_type,
                      nullptr) != CL_SUCCESS) {
    ctx.device_type = CL_DEVICE_TYPE_GPU;
  }
  std::string c_version;
  ctx.opencl_c2 = monitor::DeviceText(ctx.device, CL_DEVICE_OPENCL_C_VERSION, c_version,
                                      kFieldChars) == CL_SUCCESS &&
                  SupportsOpenClC2(c_version);
  ctx.exact_fp32_divide = HasExactFp32Divide(ctx.device);

  const bool supported = IsSupportedDeviceName(ctx.device_name);
  if (!supported && !options.any_device) {
    out().print_status_text("GPU%u: %s", ctx.ordinal, ctx.device_name.c_str());
    out().print_status_text(" | %u Compute Units", ctx.compute_units);
    out().print_status_text(" | Memory (MB): %u\n", ctx.memory_mb);
    const char* const refusal =
        "This version only supports AMD RX Vega 56/64 and RX 470/480/570/580 GFX cards. "
        "Sorry.\n\nNewer versions of Orbeck are published where you obtained this one; "
        "look there for one that supports your GPU.\n\n"
        "Maybe an optimized version for your GPU is available.";
    out().print_error("%s", refusal);
    return base::status::error(base::status_code::kUnsupported, refusal);
  }

  const uint32_t driver_number = DriverVersionNumber(driver_version);
  ctx.is_ellesmere = ctx.device_name == "Ellesmere";
  const bool large_pages = monitor::LargePagesEnabled(ctx.ordinal);

  IntensityInputs inputs;
  inputs.level = ctx.intensity;
  inputs.is_ellesmere = ctx.is_ellesmere;
  inputs.blockchain_driver = ctx.blockchain_driver;
  inputs.new_driver = ctx.new_driver;
  inputs.driver_number = driver_number;
  inputs.large_pages = large_pages;
  inputs.max_mem = options.max_mem;
  inputs.group_size = options.group_size;
  inputs.num_queues = options.num_queues;
  if (!ctx.tune_override) {
    ctx.tuned_hashes = 0;
    ctx.tuned_queues = 0;
    ctx.tuned_algorithm = ctx.setup_algorithm.load();
    if (ctx.tuning_allowed) {
      if (const auto stored = LoadTunedSetting(ctx, ctx.tuned_algorithm)) {
        ctx.tuned_hashes = stored->hashes;
        ctx.tuned_queues = stored->queues;
      }
    }
  }
  if (ctx.tuned_hashes != 0) {
    inputs.group_size = static_cast<int32_t>(ctx.tuned_hashes);
    inputs.num_queues = static_cast<int32_t>(ctx.tuned_queues);
  }
  ctx.device_class =
      supported ? DeviceClass(ctx.is_ellesmere, ctx.compute_units, ctx.memory_mb) : kGenericDeviceClass;
  const IntensityChoice choice =
      ChooseIntensity(DeviceIntensityTable(ctx, ctx.scratchpad_bytes), inputs);
  ctx.intensity = choice.level;
  ctx.queue_count = choice.queue_count;
  ctx.highest_level = choice.highest_level;
  ctx.work_size = 8;

  if (first_time) {
    out().print_status_text("GPU%u: %s (%s)", ctx.ordinal,
                            ctx.adapter_name.c_str(),
                            ctx.device_name.c_str());
    out().print_status_text(" | %u Compute Units", ctx.compute_units);
    out().print_status_text(" | Memory (MB): %u", ctx.memory_mb);
    if (ctx.tuned_hashes != 0 && !ctx.tune_override) {
      out().print_status_text(" | Intensity: autotuned %u x %u", ctx.tuned_hashes.load(), ctx.tuned_queues.load());
    } else {
      out().print_status_text(" | Intensity: %u / %u", static_cast<unsigned>(std::max(ctx.intensity, 0)),
                              static_cast<unsigned>(std::max(ctx.highest_level, 0)));
    }
    out().print_plain("\n");
    if (inputs.group_size == 0 && inputs.level > choice.level) {
      // Levels 11 and 12 exist only on GPUs with 12 GB or more.
      out().print_leveled(base::kInfo, "GPU%u: intensity %d is above this GPU's highest level %d: using %d",
                          ctx.ordinal, inputs.level, choice.highest_level, choice.level);
    }
    if (ctx.device_name == "gfx901") {
      out().print_grey_text(
          "HBCC Memory Segment is enabled.\nIt is recommended to turn HBCC off to run with "
          "higher stable intensity settings.\n");
    }
    if (!ctx.blockchain_driver && ctx.is_ellesmere && !large_pages) {
      out().print_error_text("Compute Mode Not Enabled\n");
      out().print_grey_text(
          "Up to 20%% higher hash rates can be achieved by switching GPU Workload for this GPU "
          "in the Radeon\nSettings to 'Compute' before starting the app.\n");
    }
    if (ctx.device_class == 0 && !large_pages) {
      out().print_error_text("Large Pages Are Turned Off\n");
      if (ctx.intensity < 10) {
        out().print_grey_text(
            "Intensity setting up to 12 are support with this GPU (set --intensity=12)\n");
      }
      out().print_grey_text(
          "To use the high intensity settings switch on 'Large Pages' for this GPU with the "
          "pallomir app\n");
    }
  }

  if (!first_time && ctx.tuned_hashes != 0 && !ctx.tune_override) {
    out().print_leveled(base::kInfo, "GPU%u: autotuned setting for %s: %u hashes x %u queues",
                        ctx.ordinal, crypto::algorithm_name(ctx.tuned_algorithm),
                        ctx.tuned_hashes.load(), ctx.tuned_queues.load());
  }

  base::status s = CreateProgram(ctx, build_kernel);
  if (!s) return s;
  s = SetupQueues(ctx, choice.hashes);
  if (!s) return s;
  ctx.nonce_counter = 0;
  return base::status::ok();
}

}  // namespace gpu
