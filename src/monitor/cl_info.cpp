#include "monitor/cl_info.h"

namespace monitor {
namespace {

void Trim(std::string& text, size_t max_chars) {
  const size_t zero = text.find('\0');
  if (zero != std::string::npos) text.resize(zero);
  if (text.size() > max_chars) text.resize(max_chars);
}

// Both queries ask for the size first, then for the text.
template <typename Object, typename Info, typename Query>
cl_int InfoText(Query query, Object object, Info what, std::string& text, size_t max_chars) {
  text.clear();
  size_t size = 0;
  cl_int status = query(object, what, 0, nullptr, &size);
  if (status != CL_SUCCESS) return status;
  text.assign(size, '\0');
  status = query(object, what, size, text.data(), nullptr);
  if (status != CL_SUCCESS) {
    text.clear();
    return status;
  }
  Trim(text, max_chars);
  return CL_SUCCESS;
}

}  // namespace

cl_int PlatformText(cl_platform_id platform, cl_platform_info what, std::string& text,
                    size_t max_chars) {
  return InfoText(clGetPlatformInfo, platform, what, text, max_chars);
}

cl_int DeviceText(cl_device_id device, cl_device_info what, std::string& text, size_t max_chars) {
  return InfoText(clGetDeviceInfo, device, what, text, max_chars);
}

}  // namespace monitor
