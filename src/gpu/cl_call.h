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

// When status is not CL_SUCCESS, prints fmt at level error with the
// status's name as the first argument (the "%s") and returns true.
template <typename... Args>
bool ClFailed(cl_int status, const char* fmt, Args... args) {
  if (status == CL_SUCCESS) return false;
  base::printer::inst().print_error(fmt, ClErrorName(status), args...);
  return true;
}

// The status form of ClFailed, where OpenCL codes become statuses: prints
// the same line and returns a kDeviceError status with its text; ok for
// CL_SUCCESS.
template <typename... Args>
base::status ClStatus(cl_int status, const char* fmt, Args... args) {
  if (status == CL_SUCCESS) return base::status::ok();
  base::printer::inst().print_error(fmt, ClErrorName(status), args...);
  const int length = std::snprintf(nullptr, 0, fmt, ClErrorName(status), args...);
  std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
  std::snprintf(text.data(), text.size() + 1, fmt, ClErrorName(status), args...);
  return base::status::error(base::status_code::kDeviceError, std::move(text));
}

// The status of a set-up step that reports an integer (CreateProgram,
// SetupQueues: 0, 1 unsupported, 2 OpenCL error, 3 missing source or file)
// and has printed its own error; `step` names it in the status text.
base::status SetupStatus(int result, const char* step);

// Text queries for the records' 128-byte fields keep this many characters
// (monitor/cl_info.h); a longer text is not an error.
constexpr size_t kFieldChars = 127;

// Copies text into a 128-byte field, zero-terminated.
void CopyField(char (&field)[128], const std::string& text);

}  // namespace gpu
