// Text-valued OpenCL info queries (platform and device names, versions,
// extensions), shared by the sensor matching and the GPU backend. The text
// ends at its first NUL; max_chars cuts it further (the GPU records keep
// 127 characters, a longer text is not an error). Stateless; any thread.
#pragma once

#include <CL/cl.h>

#include <cstddef>
#include <string>

namespace monitor {

constexpr size_t kWholeText = std::string::npos;

// CL_SUCCESS, or the failing call's code with text empty.
cl_int PlatformText(cl_platform_id platform, cl_platform_info what, std::string& text,
                    size_t max_chars = kWholeText);
cl_int DeviceText(cl_device_id device, cl_device_info what, std::string& text,
                  size_t max_chars = kWholeText);

}  // namespace monitor
