#include "gpu/cl_call.h"

#include <algorithm>
#include <cstring>

namespace gpu {

void CopyField(char (&field)[128], const std::string& text) {
  const size_t length = std::min(text.size(), sizeof(field) - 1);
  std::memcpy(field, text.data(), length);
  field[length] = '\0';
}

}  // namespace gpu
