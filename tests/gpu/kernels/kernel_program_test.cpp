// The embedded kernel source as a program: it builds with the miner's
// options, holds every kernel with its argument count and required
// work-group sizes, and the V8 square root's integer form equals the
// double-precision form with fix-up.
#include <gtest/gtest.h>

#include <random>

#include "kernel_programs.h"

namespace kernel_test {
namespace {

struct KernelShape {
  const char* name;
  cl_uint arguments;
  size_t local0;  // required work-group size, 0 = none
  size_t local1;
};

TEST(KernelProgram, BuildsWithTheMinerOptionsAndHasEveryKernel) {
  ASSERT_TRUE(Env().ok()) << Env().error();
  std::string log;
  cl_program program = MinerProgram(&log);
  ASSERT_NE(program, nullptr) << log;
  const KernelShape shapes[] = {
      {"cryptonight_prepare", 5, 8, 8},          {"cryptonight_prepare_heavy", 5, 8, 8},
      {"cryptonight_prepare_light", 5, 8, 8},    {"cryptonight_prepare_256k", 5, 8, 8},
      {"cryptonight_prepare_128k", 5, 8, 8},     {"cryptonight_prepare_gpu", 5, 8, 8},
      {"cryptonight_main", 4, 8, 1},
      {"cryptonight_main_v7", 5, 8, 1},          {"cryptonight_main_heavy", 4, 8, 1},
      {"cryptonight_main_light", 4, 8, 1},       {"cryptonight_main_v7_light", 5, 8, 1},
      {"cryptonight_main_v7_fest", 5, 8, 1},     {"cryptonight_main_v7_xtl", 5, 8, 1},
      {"cryptonight_main_xhv_heavy", 4, 8, 1},   {"cryptonight_main_v7_fast", 5, 8, 1},
      {"cryptonight_main_tube_heavy", 5, 8, 1},  {"cryptonight_main_v8", 4, 16, 1},
      {"cryptonight_main_v8_half", 4, 16, 1},    {"cryptonight_main_v8_rwz", 4, 16, 1},
      {"cryptonight_main_v8_zls", 4, 16, 1},     {"cryptonight_main_v8_double", 4, 16, 1},
      {"cryptonight_main_xao", 4, 8, 1},         {"cryptonight_main_ccx", 4, 8, 1},
      {"cryptonight_main_pico", 4, 16, 1},       {"cryptonight_main_pico_tlo", 4, 16, 1},
      {"cryptonight_main_upx2", 4, 16, 1},       {"cryptonight_main_r", 5, 16, 1},
      {"cryptonight_main_gpu", 4, 128, 1},
      {"cryptonight_collect", 8, 8, 8},
      {"cryptonight_collect_heavy", 8, 8, 8},    {"cryptonight_collect_light", 8, 8, 8},
      {"cryptonight_collect_256k", 8, 8, 8},     {"cryptonight_collect_128k", 8, 8, 8},
      {"cryptonight_collect_gpu", 8, 8, 8},
      {"hash_blake", 4, 0, 0},                   {"hash_groestl", 4, 0, 0},
      {"hash_jh", 4, 0, 0},                      {"hash_skein", 4, 0, 0}};
  ASSERT_EQ(std::size(shapes), AllKernelNames().size());
  for (size_t i = 0; i < std::size(shapes); ++i) {
    const KernelShape& shape = shapes[i];
    EXPECT_EQ(AllKernelNames()[i], shape.name);
    cl_int status = CL_SUCCESS;
    cl_program from = ProgramOfKernel(static_cast<int>(i), &log);
    ASSERT_NE(from, nullptr) << log;
    cl_kernel kernel = clCreateKernel(from, shape.name, &status);
    ASSERT_EQ(status, CL_SUCCESS) << shape.name;
    cl_uint arguments = 0;
    clGetKernelInfo(kernel, CL_KERNEL_NUM_ARGS, sizeof(arguments), &arguments, nullptr);
    EXPECT_EQ(arguments, shape.arguments) << shape.name;
    size_t required[3] = {};
    clGetKernelWorkGroupInfo(kernel, Env().device(), CL_KERNEL_COMPILE_WORK_GROUP_SIZE,
                             sizeof(required), required, nullptr);
    EXPECT_EQ(required[0], shape.local0) << shape.name;
    EXPECT_EQ(required[1], shape.local1) << shape.name;
    clReleaseKernel(kernel);
  }
}

TEST(KernelProgram, V8IntegerSquareRootEqualsDoubleWithFixUp) {
  ASSERT_TRUE(Env().ok()) << Env().error();
  std::string log;
  cl_program program = BuildingBlockProgram(&log);
  ASSERT_NE(program, nullptr) << log;
  // Extremes, values around perfect squares of the root's domain, random.
  std::vector<uint64_t> inputs = {0, 1, 2, 3, 0xFFFFFFFFull, 0x100000000ull,
                                  0xFFFFFFFFFFFFFFFFull, 0xFFFFFFFFFFFFFFFEull,
                                  0x8000000000000000ull, 0x7FFFFFFFFFFFFFFFull};
  std::mt19937_64 random(2018);
  for (int i = 0; i < 2000; ++i) {
    // s^2 / 4 - 2^64 for s = r + 2^33 lies on a boundary of the root.
    const unsigned __int128 s = (uint64_t{1} << 33) + (random() % 0xD413CCCEull);
    const unsigned __int128 square = s * s / 4 - (static_cast<unsigned __int128>(1) << 64);
    for (int delta = -2; delta <= 2; ++delta) {
      inputs.push_back(static_cast<uint64_t>(square + delta));
    }
  }
  for (int i = 0; i < 50000; ++i) inputs.push_back(random());
  const size_t count = inputs.size();
  cl_int status = CL_SUCCESS;
  cl_kernel kernel = clCreateKernel(program, "test_v8_sqrt", &status);
  ASSERT_EQ(status, CL_SUCCESS);
  cl_mem in = clCreateBuffer(Env().context(), CL_MEM_READ_ONLY | CL_MEM_COPY_HOST_PTR, count * 8,
                             inputs.data(), &status);
  cl_mem integer_root = clCreateBuffer(Env().context(), CL_MEM_WRITE_ONLY, count * 8, nullptr,
                                       &status);
  cl_mem double_root = clCreateBuffer(Env().context(), CL_MEM_WRITE_ONLY, count * 8, nullptr,
                                      &status);
  clSetKernelArg(kernel, 0, sizeof(cl_mem), &in);
  clSetKernelArg(kernel, 1, sizeof(cl_mem), &integer_root);
  clSetKernelArg(kernel, 2, sizeof(cl_mem), &double_root);
  ASSERT_EQ(clEnqueueNDRangeKernel(Env().queue(), kernel, 1, nullptr, &count, nullptr, 0, nullptr,
                                   nullptr),
            CL_SUCCESS);
  std::vector<uint64_t> by_integer(count), by_double(count);
  clEnqueueReadBuffer(Env().queue(), integer_root, CL_TRUE, 0, count * 8, by_integer.data(), 0,
                      nullptr, nullptr);
  clEnqueueReadBuffer(Env().queue(), double_root, CL_TRUE, 0, count * 8, by_double.data(), 0,
                      nullptr, nullptr);
  int mismatches = 0;
  for (size_t i = 0; i < count && mismatches < 5; ++i) {
    if (by_integer[i] != by_double[i]) {
      ++mismatches;
      ADD_FAILURE() << "input " << inputs[i] << ": integer " << by_integer[i] << ", double "
                    << by_double[i];
    }
  }
  // Spot check of the definition: floor(2 * sqrt(2^64 + n)) - 2^33.
  EXPECT_EQ(by_integer[0], 0u);
  EXPECT_EQ(by_integer[6], 3558067407u);  // n = 2^64 - 1
  clReleaseMemObject(in);
  clReleaseMemObject(integer_root);
  clReleaseMemObject(double_root);
  clReleaseKernel(kernel);
}

}  // namespace
}  // namespace kernel_test
