// The two programs the kernel tests share, built once per test binary: the
// miner's embedded kernel source exactly as the host builds it, and the same
// source followed by small test-only kernels that expose the building blocks.
#pragma once

#include <string>

#include "cl_fixture.h"

namespace kernel_test {

ClEnv& Env();
// Null (with the build log in *log) when the build failed.
cl_program MinerProgram(std::string* log);
cl_program BuildingBlockProgram(std::string* log);
// Seconds the miner program's build took.
double MinerProgramBuildSeconds();

}  // namespace kernel_test
