// Small wrappers over OpenCL calls so every failure message has the same
// form ("Error CL_... calling ..."). Stateless; any thread.
#pragma once

#include <CL/cl.h>

#include <cstddef>
#include <cstdio>
#include <string>

#include "base/printer.h"
#include "base/status.h"
#include "gpu/cl_error.h"

namespace gpu {

// Prints fmt (printf arguments) at level error and returns a status of
// `code` whose message is the printed text. For failures that are not an
// OpenCL code (a missing source file, a kernel the device cannot run).
template <typename... Args>
base::status PrintedError(base::status_code code, const char* fmt, Args... args) {
  if constexpr (sizeof...(Args) == 0) {
    base::printer::inst().print_error("%s", fmt);
    return base::status::error(code, fmt);
  } else {
    base::printer::inst().print_error(fmt, args...);
    const int length = std::snprintf(nullptr, 0, fmt, args...);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    std::snprintf(text.data(), text.size() + 1, fmt, args...);
    return base::status::error(code, std::move(text));
  }
}

// When status is not CL_SUCCESS, prints fmt at level error with the
// status's name as the first argument (the "%s") and returns a kDeviceError
// status with the printed text; ok (no allocation) for CL_SUCCESS, so it
// may sit on a per-round path.
template <typename... Args>
base::status ClStatus(cl_int status, const char* fmt, Args... args) {
  if (status == CL_SUCCESS) return base::status::ok();
  return PrintedError(base::status_code::kDeviceError, fmt, ClErrorName(status), args...);
}

// Text queries for the records' 128-byte fields keep this many characters
// (monitor/cl_info.h); a longer text is not an error.
constexpr size_t kFieldChars = 127;

// Copies text into a 128-byte field, zero-terminated.
void CopyField(char (&field)[128], const std::string& text);

}  // namespace gpu
