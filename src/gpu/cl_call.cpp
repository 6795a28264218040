#include "gpu/cl_call.h"

#include <algorithm>
#include <cstring>

namespace gpu {

base::status SetupStatus(int result, const char* step) {
  using base::status_code;
  switch (result) {
    case 0: return base::status::ok();
    case 1: return base::status::error(status_code::kUnsupported, std::string(step) + ": unsupported");
    case 3: return base::status::error(status_code::kNotFound, std::string(step) + ": not found");
    default: return base::status::error(status_code::kDeviceError, std::string(step) + ": failed");
  }
}

void CopyField(char (&field)[128], const std::string& text) {
  const size_t length = std::min(text.size(), sizeof(field) - 1);
  std::memcpy(field, text.data(), length);
  field[length] = '\0';
}

}  // namespace gpu
