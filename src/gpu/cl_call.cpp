#include "gpu/cl_call.h"

#include <algorithm>
#include <cstring>

namespace gpu {
namespace {

constexpr size_t kFieldChars = 127;

void Trim(std::string& text) {
  const size_t zero = text.find('\0');
  if (zero != std::string::npos) text.resize(zero);
  if (text.size() > kFieldChars) text.resize(kFieldChars);
}

}  // namespace

cl_int PlatformText(cl_platform_id platform, cl_platform_info what, std::string& text) {
  text.clear();
  size_t size = 0;
  cl_int status = clGetPlatformInfo(platform, what, 0, nullptr, &size);
  if (status != CL_SUCCESS) return status;
  text.assign(size, '\0');
  status = clGetPlatformInfo(platform, what, size, text.data(), nullptr);
  Trim(text);
  return status;
}

cl_int DeviceText(cl_device_id device, cl_device_info what, std::string& text) {
  text.clear();
  size_t size = 0;
  cl_int status = clGetDeviceInfo(device, what, 0, nullptr, &size);
  if (status != CL_SUCCESS) return status;
  text.assign(size, '\0');
  status = clGetDeviceInfo(device, what, size, text.data(), nullptr);
  Trim(text);
  return status;
}

void CopyField(char (&field)[128], const std::string& text) {
  const size_t length = std::min(text.size(), sizeof(field) - 1);
  std::memcpy(field, text.data(), length);
  field[length] = '\0';
}

}  // namespace gpu
