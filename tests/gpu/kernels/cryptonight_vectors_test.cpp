// Every algorithm id against the published CryptoNight vectors: a round whose
// global offset makes work item 0 hash exactly the vector's blob must report
// that nonce, and the state it leaves must hash to the published digest.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "final_hash_device.h"
#include "kernel_programs.h"

namespace kernel_test {
namespace {

struct CnVector {
  int algorithm;
  std::vector<uint8_t> blob;
  std::vector<uint8_t> hash;
};

std::vector<CnVector> LoadCnVectors() {
  std::vector<CnVector> vectors;
  std::ifstream in(std::string(ORBECK_TEST_DATA_DIR) + "/vectors/cryptonight-variants.tsv");
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string id, name, input, expected;
    if (!std::getline(fields, id, '\t') || !std::getline(fields, name, '\t') ||
        !std::getline(fields, input, '\t') || !std::getline(fields, expected, '\t')) {
      continue;
    }
    vectors.push_back({std::stoi(id), FromHex(input), FromHex(expected)});
  }
  return vectors;
}

// The global offset whose low 24 bits, written into blob bytes 39..41 where
// they exist, leave the blob unchanged.
uint32_t OffsetKeepingBlob(const std::vector<uint8_t>& blob) {
  uint32_t offset = 0;
  for (size_t i = 39; i < 42 && i < blob.size(); ++i) offset |= uint32_t{blob[i]} << (8 * (i - 39));
  return offset;
}

// The final hash of a 200-byte state through test_final_hash.
std::vector<uint8_t> FinalHashOfState(cl_program program, const uint64_t* state) {
  std::vector<uint8_t> message(200);
  std::memcpy(message.data(), state, 200);
  std::string error;
  const auto digests =
      FinalHashes(program, static_cast<uint32_t>(state[0] & 3), {message}, &error);
  return digests.empty() ? std::vector<uint8_t>() : digests[0];
}

void CheckAlgorithm(int algorithm) {
  ASSERT_TRUE(Env().ok()) << Env().error();
  std::string log;
  cl_program miner = MinerProgram(&log);
  ASSERT_NE(miner, nullptr) << log;
  cl_program blocks = BuildingBlockProgram(&log);
  ASSERT_NE(blocks, nullptr) << log;

  int checked = 0;
  for (const CnVector& vector : LoadCnVectors()) {
    if (vector.algorithm != algorithm || vector.blob.size() > 84) continue;
    ++checked;
    const KernelChoice choice = ChoiceFor(algorithm);
    RoundRunner runner(Env(), miner, choice.main_local == 16 ? 16 : 8, choice.scratchpad_bytes);
    ASSERT_TRUE(runner.error().empty()) << runner.error();
    uint32_t word7 = 0;
    std::memcpy(&word7, vector.hash.data() + 28, 4);
    const uint32_t target = word7 == 0xFFFFFFFFu ? word7 : word7 + 1;
    const uint32_t offset = OffsetKeepingBlob(vector.blob);
    const std::vector<uint32_t> nonces = runner.Round(algorithm, vector.blob, offset, target);
    ASSERT_TRUE(runner.error().empty()) << runner.error();
    const std::string blob_hex = ToHex(vector.blob.data(), vector.blob.size());
    if (word7 != 0xFFFFFFFFu) {
      EXPECT_NE(std::find(nonces.begin(), nonces.end(), offset), nonces.end())
          << "id " << algorithm << " blob " << blob_hex << " not reported";
    }
    const std::vector<uint64_t> states = runner.ReadStates();
    const std::vector<uint8_t> digest = FinalHashOfState(blocks, states.data());
    EXPECT_EQ(ToHex(digest.data(), digest.size()), ToHex(vector.hash.data(), vector.hash.size()))
        << "id " << algorithm << " blob " << blob_hex;
  }
  EXPECT_GT(checked, 0) << "no vector for id " << algorithm;
}

TEST(CryptoNightKernelVectors, Id0CryptoNight) { CheckAlgorithm(0); }
TEST(CryptoNightKernelVectors, Id1CryptoNightV7) { CheckAlgorithm(1); }
TEST(CryptoNightKernelVectors, Id2CryptoNightHeavy) { CheckAlgorithm(2); }
TEST(CryptoNightKernelVectors, Id3CryptoNightLite) { CheckAlgorithm(3); }
TEST(CryptoNightKernelVectors, Id4CryptoNightV7Lite) { CheckAlgorithm(4); }
TEST(CryptoNightKernelVectors, Id5CryptoNightTubeHeavy) { CheckAlgorithm(5); }
TEST(CryptoNightKernelVectors, Id6CryptoNightXtl) { CheckAlgorithm(6); }
TEST(CryptoNightKernelVectors, Id7CryptoNightXhvHeavy) { CheckAlgorithm(7); }
TEST(CryptoNightKernelVectors, Id8CryptoNightFast) { CheckAlgorithm(8); }
TEST(CryptoNightKernelVectors, Id9CryptoNightFest) { CheckAlgorithm(9); }
TEST(CryptoNightKernelVectors, Id10CryptoNightV8) { CheckAlgorithm(10); }

}  // namespace
}  // namespace kernel_test
