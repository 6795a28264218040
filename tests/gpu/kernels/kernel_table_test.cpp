// The algorithm table and the kernels agree: the program built with the
// table's options defines exactly the kernels the table names, each main
// kernel has its row's shape, and the host's kernel choice for every row
// names that row's kernels. (That each main kernel computes its row's hash
// is proven against the CPU by the vector, round and self-test tests.)
#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "crypto/algorithm.h"
#include "gpu/kernel_table.h"
#include "gpu/launch.h"
#include "gpu/program.h"
#include "gpu/random_source.h"
#include "kernel_programs.h"

namespace kernel_test {
namespace {

std::vector<std::string> ProgramKernelNames(cl_program program) {
  size_t size = 0;
  clGetProgramInfo(program, CL_PROGRAM_KERNEL_NAMES, 0, nullptr, &size);
  std::string text(size, '\0');
  clGetProgramInfo(program, CL_PROGRAM_KERNEL_NAMES, size, text.data(), nullptr);
  text.resize(text.find('\0') == std::string::npos ? text.size() : text.find('\0'));
  std::vector<std::string> names;
  std::istringstream list(text);
  for (std::string name; std::getline(list, name, ';');) names.push_back(name);
  return names;
}

TEST(KernelTable, TheProgramDefinesExactlyTheKernelsTheTableNames) {
  ASSERT_TRUE(Env().ok()) << Env().error();
  std::string log;
  cl_program program = MinerProgram(&log);
  ASSERT_NE(program, nullptr) << log;
  const std::vector<std::string> defined = ProgramKernelNames(program);
  const std::set<std::string> defined_set(defined.begin(), defined.end());
  EXPECT_EQ(defined_set.size(), defined.size()) << "a kernel is defined twice";
  const std::set<std::string> all(AllKernelNames().begin(), AllKernelNames().end());
  EXPECT_EQ(all.size(), AllKernelNames().size()) << "the table names a kernel twice";
  // Both directions: nothing missing, nothing the table does not use. The
  // random loop's kernel is the only one of a height group's program.
  std::set<std::string> common = all;
  std::set<std::string> per_height;
  for (int k = 0; k < gpu::kQueueKernelCount; ++k) {
    if (!gpu::IsHeightKernel(k)) continue;
    common.erase(gpu::kQueueKernelNames[k]);
    per_height.insert(gpu::kQueueKernelNames[k]);
  }
  EXPECT_EQ(defined_set, common);
  cl_program height = HeightGroupProgram(&log);
  ASSERT_NE(height, nullptr) << log;
  const std::vector<std::string> in_group = ProgramKernelNames(height);
  EXPECT_EQ(std::set<std::string>(in_group.begin(), in_group.end()), per_height);
}

TEST(KernelTable, EveryMainKernelHasItsRowsArgumentsAndLocalSize) {
  ASSERT_TRUE(Env().ok()) << Env().error();
  std::string log;
  for (const crypto::algorithm_info& info : crypto::kAlgorithms) {
    cl_program program = ProgramOfKernel(static_cast<int>(gpu::MainKernelIndex(info.id)), &log);
    ASSERT_NE(program, nullptr) << log;
    cl_int status = CL_SUCCESS;
    cl_kernel kernel = clCreateKernel(program, info.main_kernel, &status);
    ASSERT_EQ(status, CL_SUCCESS) << info.main_kernel;
    cl_uint arguments = 0;
    clGetKernelInfo(kernel, CL_KERNEL_NUM_ARGS, sizeof(arguments), &arguments, nullptr);
    // The blob's bytes 35..42 or the random loop's height slot come fifth.
    const bool fifth = info.v7_shift != 0 || info.loop == crypto::loop_family::random;
    EXPECT_EQ(arguments, fifth ? 5u : 4u) << info.main_kernel;
    size_t required[3] = {};
    clGetKernelWorkGroupInfo(kernel, Env().device(), CL_KERNEL_COMPILE_WORK_GROUP_SIZE,
                             sizeof(required), required, nullptr);
    EXPECT_EQ(required[0], info.main_local_size) << info.main_kernel;
    clReleaseKernel(kernel);
  }
}

TEST(KernelTable, TheHostChoosesEachRowsKernelsAndUsesEveryKernel) {
  std::set<uint32_t> used;
  for (const crypto::algorithm_info& info : crypto::kAlgorithms) {
    gpu::KernelChoice choice;
    ASSERT_TRUE(gpu::KernelsForAlgorithm(static_cast<uint32_t>(info.id), choice)) << info.id;
    const gpu::KernelFamily& family = gpu::kKernelFamilies[gpu::FamilyOf(info)];
    EXPECT_STREQ(gpu::kQueueKernelNames[choice.main], info.main_kernel);
    EXPECT_STREQ(gpu::kQueueKernelNames[choice.prepare], family.prepare) << info.name;
    EXPECT_STREQ(gpu::kQueueKernelNames[choice.collect], family.collect) << info.name;
    EXPECT_EQ(gpu::kQueueKernels[choice.main].role, gpu::KernelRole::main) << info.name;
    EXPECT_EQ(gpu::kQueueKernels[choice.prepare].role, gpu::KernelRole::prepare) << info.name;
    EXPECT_EQ(gpu::kQueueKernels[choice.collect].role, gpu::KernelRole::collect) << info.name;
    EXPECT_EQ(family.scratchpad, info.scratchpad) << info.name;
    EXPECT_EQ(family.heavy_fill, info.heavy_fill) << info.name;
    EXPECT_EQ(choice.tweak_input, crypto::uses_v7_tweak(info.id)) << info.name;
    EXPECT_EQ(gpu::MainLocalSize(static_cast<uint32_t>(info.id)), info.main_local_size);
    used.insert({choice.prepare, choice.main, choice.collect});
  }
  EXPECT_EQ(used.size(), static_cast<size_t>(gpu::kQueueKernelCount));
}

TEST(KernelTable, TheBuildOptionsCarryEveryRowsVariant) {
  const std::string options = gpu::KernelTableOptions();
  // Two -D options without spaces inside: drivers split options at spaces.
  std::istringstream words(options);
  std::vector<std::string> tokens;
  for (std::string word; words >> word;) tokens.push_back(word);
  ASSERT_EQ(tokens.size(), 2u) << options;
  EXPECT_EQ(tokens[0].rfind("-DCN_FAMILY_KERNELS=", 0), 0u);
  EXPECT_EQ(tokens[1].rfind("-DCN_MAIN_KERNELS=", 0), 0u);
  // The random loop's row is instantiated by a height group's options only.
  const std::string height_options = gpu::RandomKernelOptions();
  for (const crypto::algorithm_info& info : crypto::kAlgorithms) {
    char instance[160];
    const bool random = info.loop == crypto::loop_family::random;
    const char* macro = info.loop == crypto::loop_family::float_chains ? "CN_GPU_MAIN"
                        : info.v7_shift != 0                         ? "CN_MAIN_TWEAK"
                        : random                                     ? "CN_MAIN_RANDOM"
                                                                     : "CN_MAIN";
    std::snprintf(instance, sizeof(instance), "%s(%s,%u,0x%Xu,0x%Xu,0x%Xu,0x%Xu)", macro,
                  info.main_kernel,
                  static_cast<unsigned>(info.main_local_size), info.scratchpad, info.iterations,
                  info.mask, crypto::kernel_variant(info));
    EXPECT_EQ(tokens[1].find(instance) != std::string::npos, !random) << instance;
    EXPECT_EQ(height_options.find(std::string("=") + instance) != std::string::npos, random)
        << instance;
  }
  EXPECT_EQ(gpu::ProgramBuildOptions(8, false),
            gpu::BuildOptions(8, false) + " " + gpu::KernelTableOptions());
}

}  // namespace
}  // namespace kernel_test
