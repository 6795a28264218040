// OpenCL status codes as text for the backend's error messages. Pure; any
// thread.
#pragma once

#include <cstdint>

namespace gpu {

// Standard OpenCL 2.0 name of a status code ("CL_OUT_OF_RESOURCES");
// "UNKNOWN_ERROR" for any other value, positive result codes included.
const char* ClErrorName(int32_t code);

}  // namespace gpu
