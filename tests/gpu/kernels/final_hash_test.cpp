// The four final-round hashes of the kernel source against their published
// vectors (messages of 0 to 319 bytes), and Keccak-f against a known state.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

#include "final_hash_device.h"
#include "kernel_programs.h"

namespace kernel_test {
namespace {

struct HashVector {
  std::string hash_hex;
  std::vector<uint8_t> message;
};

std::vector<HashVector> LoadVectors(const std::string& file) {
  std::vector<HashVector> vectors;
  std::ifstream in(std::string(ORBECK_TEST_DATA_DIR) + "/vectors/" + file);
  std::string hash, message;
  while (in >> hash >> message) {
    vectors.push_back({hash, message == "x" ? std::vector<uint8_t>() : FromHex(message)});
  }
  return vectors;
}

// The kernels hash 200-byte states; the vectors up to 320 bytes cover the
// empty message, partial and whole blocks and every padding path up to five
// blocks.
void CheckFile(uint32_t which, const std::string& file) {
  ASSERT_TRUE(Env().ok()) << Env().error();
  std::string log;
  cl_program program = BuildingBlockProgram(&log);
  ASSERT_NE(program, nullptr) << log;
  std::vector<HashVector> vectors;
  std::vector<std::vector<uint8_t>> messages;
  for (const HashVector& vector : LoadVectors(file)) {
    if (vector.message.size() > kMaxFinalHashMessage) continue;
    vectors.push_back(vector);
    messages.push_back(vector.message);
  }
  ASSERT_GE(vectors.size(), 250u) << file;
  std::string error;
  const std::vector<std::vector<uint8_t>> digests = FinalHashes(program, which, messages, &error);
  ASSERT_EQ(digests.size(), vectors.size()) << error;
  int failures = 0;
  for (size_t i = 0; i < vectors.size() && failures < 5; ++i) {
    const std::string digest = ToHex(digests[i].data(), digests[i].size());
    if (digest != vectors[i].hash_hex) {
      ++failures;
      ADD_FAILURE() << file << " message of " << vectors[i].message.size() << " bytes: got "
                    << digest << ", want " << vectors[i].hash_hex;
    }
  }
}

TEST(FinalHashKernel, BlakeMatchesPublishedVectors) { CheckFile(0, "tests-extra-blake.txt"); }
TEST(FinalHashKernel, GroestlMatchesPublishedVectors) { CheckFile(1, "tests-extra-groestl.txt"); }
TEST(FinalHashKernel, JhMatchesPublishedVectors) { CheckFile(2, "tests-extra-jh.txt"); }
TEST(FinalHashKernel, SkeinMatchesPublishedVectors) { CheckFile(3, "tests-extra-skein.txt"); }

TEST(KeccakKernel, PermutationOfZeroStateMatchesKnownAnswer) {
  ASSERT_TRUE(Env().ok()) << Env().error();
  std::string log;
  cl_program program = BuildingBlockProgram(&log);
  ASSERT_NE(program, nullptr) << log;
  cl_int status = CL_SUCCESS;
  cl_kernel kernel = clCreateKernel(program, "test_keccakf", &status);
  ASSERT_EQ(status, CL_SUCCESS);
  uint64_t state[25] = {};
  cl_mem buffer = clCreateBuffer(Env().context(), CL_MEM_READ_WRITE | CL_MEM_COPY_HOST_PTR,
                                 sizeof(state), state, &status);
  ASSERT_EQ(status, CL_SUCCESS);
  clSetKernelArg(kernel, 0, sizeof(cl_mem), &buffer);
  const size_t one = 1;
  EXPECT_EQ(clEnqueueNDRangeKernel(Env().queue(), kernel, 1, nullptr, &one, &one, 0, nullptr,
                                   nullptr),
            CL_SUCCESS);
  EXPECT_EQ(clEnqueueReadBuffer(Env().queue(), buffer, CL_TRUE, 0, sizeof(state), state, 0,
                                nullptr, nullptr),
            CL_SUCCESS);
  // Keccak-f[1600] of the all-zero state (the published intermediate value).
  EXPECT_EQ(state[0], 0xF1258F7940E1DDE7ull);
  EXPECT_EQ(state[1], 0x84D5CCF933C0478Aull);
  EXPECT_EQ(state[24], 0xEAF1FF7B5CECA249ull);
  clReleaseMemObject(buffer);
  clReleaseKernel(kernel);
}

}  // namespace
}  // namespace kernel_test
