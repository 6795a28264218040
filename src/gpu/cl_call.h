// Small wrappers over OpenCL calls so every failure message has the same
// form ("Error CL_... calling ..."). Stateless; any thread.
#pragma once

#include <CL/cl.h>

#include <cstddef>
#include <string>

#include "base/printer.h"
#include "gpu/cl_error.h"

namespace gpu {

// When status is not CL_SUCCESS, prints fmt at level error with the
// status's name as the first argument (the "%s") and returns true.
template <typename... Args>
bool ClFailed(cl_int status, const char* fmt, Args... args) {
  if (status == CL_SUCCESS) return false;
  base::printer::inst().print_error(fmt, ClErrorName(status), args...);
  return true;
}

// Text queries for the records' 128-byte fields keep this many characters
// (monitor/cl_info.h); a longer text is not an error.
constexpr size_t kFieldChars = 127;

// Copies text into a 128-byte field, zero-terminated.
void CopyField(char (&field)[128], const std::string& text);

}  // namespace gpu
