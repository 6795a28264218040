// Every algorithm id against the published CryptoNight vectors: a round whose
// global offset makes work item 0 hash exactly the vector's blob must report
// that nonce, and the state it leaves must hash to the published digest.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "crypto/algorithm.h"
#include "final_hash_device.h"
#include "kernel_programs.h"
#include "vector_file.h"

namespace kernel_test {
namespace {

struct CnVector {
  int algorithm;
  std::vector<uint8_t> blob;
  std::vector<uint8_t> hash;
  uint64_t height = 0;  // the random loop's program
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

// Every vector through one round each; `what` names them in messages.
void CheckVectors(const std::vector<CnVector>& vectors, const std::string& what) {
  ASSERT_TRUE(Env().ok()) << Env().error();
  std::string log;
  cl_program miner = MinerProgram(&log);
  ASSERT_NE(miner, nullptr) << log;
  cl_program blocks = BuildingBlockProgram(&log);
  ASSERT_NE(blocks, nullptr) << log;

  int checked = 0;
  for (const CnVector& vector : vectors) {
    if (vector.blob.size() > 84) continue;
    ++checked;
    const int algorithm = vector.algorithm;
    const KernelChoice choice = ChoiceFor(algorithm);
    RoundRunner runner(Env(), miner, choice.main_local / choice.main_items == 16 ? 16 : 8,
                       choice.scratchpad_bytes);
    ASSERT_TRUE(runner.error().empty()) << runner.error();
    uint32_t word7 = 0;
    std::memcpy(&word7, vector.hash.data() + 28, 4);
    const uint32_t target = word7 == 0xFFFFFFFFu ? word7 : word7 + 1;
    const uint32_t offset = OffsetKeepingBlob(vector.blob);
    const std::vector<uint32_t> nonces =
        runner.Round(algorithm, vector.blob, offset, target, vector.height);
    ASSERT_TRUE(runner.error().empty()) << runner.error();
    const std::string blob_hex = ToHex(vector.blob.data(), vector.blob.size());
    if (word7 != 0xFFFFFFFFu) {
      EXPECT_NE(std::find(nonces.begin(), nonces.end(), offset), nonces.end())
          << what << " blob " << blob_hex << " not reported";
    }
    const std::vector<uint64_t> states = runner.ReadStates();
    // A row whose hash is the state itself; the others hash the state.
    std::vector<uint8_t> digest(32);
    if (crypto::kAlgorithms[algorithm].final_step == crypto::final_rule::state) {
      std::memcpy(digest.data(), states.data(), 32);
    } else {
      digest = FinalHashOfState(blocks, states.data());
    }
    EXPECT_EQ(ToHex(digest.data(), digest.size()), ToHex(vector.hash.data(), vector.hash.size()))
        << what << " blob " << blob_hex;
  }
  EXPECT_GT(checked, 0) << "no vector for " << what;
}

void CheckAlgorithm(int algorithm) {
  std::vector<CnVector> vectors;
  for (const CnVector& vector : LoadCnVectors()) {
    if (vector.algorithm == algorithm) vectors.push_back(vector);
  }
  CheckVectors(vectors, "id " + std::to_string(algorithm));
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

// The members of 2019 by the names of their vector file: every published
// vector of each (cn/ccx's empty input included).
class CryptoNightKernelVectors2019 : public ::testing::TestWithParam<const char*> {};

TEST_P(CryptoNightKernelVectors2019, PublishedVectors) {
  const std::string name = GetParam();
  std::vector<CnVector> vectors;
  for (const crypto::hash_vector& v : crypto::read_named_vectors("cryptonight-variants-2019.tsv")) {
    if (v.name != name) continue;
    ASSERT_GE(v.algorithm, crypto::kCryptoNightHalf) << name;
    vectors.push_back({v.algorithm, v.input, v.expected, v.height});
  }
  CheckVectors(vectors, name);
}

// "Id11_cn_half": scripts/device-check reads the id from the name.
std::string NameOf(const ::testing::TestParamInfo<const char*>& info) {
  std::string name = info.param;
  for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return "Id" + std::to_string(crypto::find_algorithm_by_pool_name(info.param)) + "_" + name;
}

INSTANTIATE_TEST_SUITE_P(ByName, CryptoNightKernelVectors2019,
                         ::testing::Values("cn/half", "cn/rwz", "cn/zls", "cn/double", "cn/xao",
                                           "cn/ccx", "cn-pico/0", "cn-pico/tlo", "cn/upx2", "cn/r",
                                           "cn/gpu"),
                         NameOf);

}  // namespace
}  // namespace kernel_test
