// The programs the kernel tests share, built once per test binary: the
// miner's embedded kernel source exactly as the host builds it, the same
// source followed by small test-only kernels that expose the building
// blocks, and one height group's program of the random loop's kernel.
#pragma once

#include <string>

#include "cl_fixture.h"

namespace kernel_test {

ClEnv& Env();
// Null (with the build log in *log) when the build failed.
cl_program MinerProgram(std::string* log);
cl_program BuildingBlockProgram(std::string* log);
// The program of the height group of the self-test height, as the miner
// builds it; the program a queue kernel comes from (that one for the random
// loop's kernel, else the miner program).
cl_program HeightGroupProgram(std::string* log);
cl_program ProgramOfKernel(int queue_kernel, std::string* log);
// Seconds the miner program's build took.
double MinerProgramBuildSeconds();

}  // namespace kernel_test
