// The OpenCL C source of the kernels, embedded into the executable at
// build time from src/gpu/kernels/. Constant data; any thread.
#pragma once

#include <string_view>

namespace gpu {

std::string_view embedded_kernel_source();

}  // namespace gpu
