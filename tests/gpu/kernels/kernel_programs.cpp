#include "kernel_programs.h"

#include "gpu/kernel_source.h"
#include "gpu/kernel_table.h"
#include "gpu/random_source.h"
#include "gpu/self_test.h"

namespace kernel_test {

namespace {

// Test-only entry points into the building blocks of the kernel source.
const char kBuildingBlockKernels[] = R"CLC(
// One of the four final hashes (0 BLAKE, 1 Groestl, 2 JH, 3 Skein) of
// message i of up to 320 bytes, given as 40 little-endian words at words +
// 40 * i with its length in lengths[i]; one work item per message.
__kernel void test_final_hash(__global const ulong *words, __global const uint *lengths,
                              uint which, __global uint *digests)
{
    const size_t i = get_global_id(0);
    ulong msg[40];
    for (int k = 0; k < 40; ++k) {
        msg[k] = words[i * 40 + k];
    }
    uint out[8];
    if (which == 0) {
        blake256_hash(msg, lengths[i], out);
    } else if (which == 1) {
        groestl256_hash(msg, lengths[i], out);
    } else if (which == 2) {
        jh256_hash(msg, lengths[i], out);
    } else {
        skein512_256_hash(msg, lengths[i], out);
    }
    for (int k = 0; k < 8; ++k) {
        digests[i * 8 + k] = out[k];
    }
}

// The V8 square root in its integer form and, where the device has double
// precision, in the double form with fix-up.
__kernel void test_v8_sqrt(__global const ulong *in, __global ulong *integer_root,
                           __global ulong *double_root)
{
    const size_t i = get_global_id(0);
    integer_root[i] = cn_v8_sqrt_integer(in[i]);
#ifdef ORBECK_HAVE_FP64
    double_root[i] = cn_v8_sqrt_double(in[i]);
#else
    double_root[i] = integer_root[i];
#endif
}

// Keccak-f[1600] on 25 lanes.
__kernel void test_keccakf(__global ulong *state)
{
    ulong st[25];
    for (int i = 0; i < 25; ++i) {
        st[i] = state[i];
    }
    keccakf1600(st);
    for (int i = 0; i < 25; ++i) {
        state[i] = st[i];
    }
}
)CLC";

// Each program is built on first use: a test process (one per test case)
// pays only for the program its case runs.
struct BuiltProgram {
  explicit BuiltProgram(const std::string& source, const std::string* options = nullptr) {
    if (Env().ok()) program = Env().Build(source, &log, &seconds, options);
  }
  cl_program program = nullptr;
  std::string log;
  double seconds = 0;
};

const BuiltProgram& Miner() {
  static const BuiltProgram miner{std::string(gpu::embedded_kernel_source())};
  return miner;
}

const BuiltProgram& Blocks() {
  static const BuiltProgram blocks{std::string(gpu::embedded_kernel_source()) + kBuildingBlockKernels};
  return blocks;
}

// The miner's source behind the generated code of the self-test height's
// group, built with the options of a height program.
const BuiltProgram& Height() {
  static const std::string options = Env().RandomBuildOptions();
  static const BuiltProgram height{
      gpu::RandomGroupSource(gpu::RandomGroupOf(gpu::kSelfTestHeight)) +
          std::string(gpu::embedded_kernel_source()),
      &options};
  return height;
}

}  // namespace

ClEnv& Env() {
  static ClEnv env;
  return env;
}

cl_program MinerProgram(std::string* log) {
  *log = Miner().log;
  return Miner().program;
}

cl_program BuildingBlockProgram(std::string* log) {
  *log = Blocks().log;
  return Blocks().program;
}

cl_program HeightGroupProgram(std::string* log) {
  *log = Height().log;
  return Height().program;
}

cl_program ProgramOfKernel(int queue_kernel, std::string* log) {
  if (queue_kernel >= 0 && queue_kernel < gpu::kQueueKernelCount &&
      gpu::IsHeightKernel(queue_kernel)) {
    return HeightGroupProgram(log);
  }
  return MinerProgram(log);
}

double MinerProgramBuildSeconds() { return Miner().seconds; }

}  // namespace kernel_test
