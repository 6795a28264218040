// The orbeck-hash command, in-process through its run function and once as
// a real process for the exit status.
#include "hash_tool.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "base/hex.h"
#include "crypto/algorithm.h"
#include "crypto/cryptonight.h"
#include "support/cpu_hash.h"

namespace orbeck_hash {
namespace {

struct result {
  int code;
  std::string out;
  std::string err;
};

result run_tool(std::vector<std::string> args, const std::string& input = "") {
  args.insert(args.begin(), "orbeck-hash");
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  std::istringstream in(input);
  std::ostringstream out, err;
  const int code = run(static_cast<int>(argv.size()), argv.data(), in, out, err);
  return {code, out.str(), err.str()};
}

std::string expected_hash(int32_t id, const std::string& hex) {
  std::vector<uint8_t> blob;
  EXPECT_TRUE(base::hex_decode(hex, &blob));
  const auto cn = support::cpu_hash();
  uint8_t out[32];
  cn->hash(id, blob.data(), blob.size(), out);
  return base::hex_encode(out, 32);
}

const std::string kBlobA = "6465206f6d6e69627573206475626974616e64756d";
const std::string kBlobB = "63617665617420656d70746f72";

TEST(HashTool, HashesArgumentsInOrder) {
  const result r = run_tool({"--algo", "3", kBlobA, kBlobB});
  EXPECT_EQ(r.code, kExitOk);
  EXPECT_EQ(r.out, expected_hash(3, kBlobA) + "\n" + expected_hash(3, kBlobB) + "\n");
  EXPECT_EQ(r.err, "");
}

// cn/r hashes at the given height; the bench measures cn/2 alongside.
TEST(HashTool, CnRAtAHeightAndItsBench) {
  const std::string blob = "4c6f72656d20697073756d20646f6c6f722073697420616d65742c20636f6e73656374657475722061646970697363696e67";
  const result r = run_tool({"--algo", "cn/r", "--height", "1806261", blob});
  EXPECT_EQ(r.code, kExitOk) << r.err;
  EXPECT_EQ(r.out, "5bb833deca2bdd7252a9ccd7b4ce0b6a4854515794b56c207262f7a5b9bdb566\n");
  const result bench = run_tool({"--algo", "20", "--height", "7", "--bench", "0.01"});
  EXPECT_EQ(bench.code, kExitOk);
  EXPECT_NE(bench.out.find("\ncn/2 H/s: "), std::string::npos) << bench.out;
  EXPECT_NE(bench.out.find("\ncn/r hash time / cn/2 hash time: "), std::string::npos) << bench.out;
}

TEST(HashTool, ReadsStandardInputSkippingBlankLines) {
  const std::string upper = "63617665617420656D70746F72";
  const result r = run_tool({"--algo=4"}, "\n" + kBlobA + "\r\n   \n  " + upper + "\t\n\n");
  EXPECT_EQ(r.code, kExitOk);
  // Blobs under 43 bytes give zeros under id 4's length rule.
  EXPECT_EQ(r.out, std::string(64, '0') + "\n" + std::string(64, '0') + "\n");
  const std::string long_blob(86, 'a');
  const result r2 = run_tool({"--algo", "3"}, long_blob + "\n" + kBlobB + "\n");
  EXPECT_EQ(r2.out, expected_hash(3, long_blob) + "\n" + expected_hash(3, kBlobB) + "\n");
}

TEST(HashTool, EmptyArgumentHashesEmptyBlob) {
  const result r = run_tool({"--algo", "3", ""});
  EXPECT_EQ(r.code, kExitOk);
  EXPECT_EQ(r.out, expected_hash(3, "") + "\n");
}

TEST(HashTool, BadHexExitsWithTwo) {
  struct bad_case {
    std::vector<std::string> args;
    std::string input;
    std::string message;
  };
  const std::vector<bad_case> cases = {
      {{"--algo", "3", kBlobA, "abc"}, "", "argument 2: odd number of hex digits"},
      {{"--algo", "3", "zz"}, "", "argument 1: not a hex string"},
      {{"--algo", "3"}, kBlobA + "\n\nxyz0\n", "line 3: not a hex string"},
      {{"--algo", "3"}, "123\n", "line 1: odd number of hex digits"},
  };
  for (const bad_case& c : cases) {
    const result r = run_tool(c.args, c.input);
    EXPECT_EQ(r.code, kExitBadInput) << c.message;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
  // Arguments are all checked before any output.
  EXPECT_EQ(run_tool({"--algo", "3", kBlobA, "abc"}).out, "");
}

TEST(HashTool, BadOptionsExitWithTwo) {
  const std::vector<std::vector<std::string>> cases = {
      {kBlobA},
      {"--algo"},
      {"--algo", std::to_string(crypto::kAlgoCount), kBlobA},
      {"--algo", "cn/r", kBlobA},           // cn/r needs a height
      {"--algo", "20", "--height", "x", kBlobA},
      {"--algo", "20", "--height", "-1", kBlobA},
      {"--algo", "20", "--height", "18446744073709551616", kBlobA},
      {"--algo", "3", "--height", "5", kBlobA},  // a height only for cn/r
      {"--algo", "-1", kBlobA},
      {"--algo", "1x"},
      {"--algo", " 1"},
      {"--algo", ""},
      {"--algo", "3", "--bench", "0"},
      {"--algo", "3", "--bench", "-2"},
      {"--algo", "3", "--bench", "nan"},
      {"--algo", "3", "--bench", "1e9"},
      {"--algo", "3", "--bench"},
      {"--algo", "3", "--bench", "1", kBlobA},
      {"--algo", "3", "--frobnicate"},
  };
  for (const auto& args : cases) {
    const result r = run_tool(args);
    std::string joined;
    for (const std::string& a : args) joined += a + " ";
    EXPECT_EQ(r.code, kExitBadInput) << joined;
    EXPECT_EQ(r.err.rfind("orbeck-hash: ", 0), 0u) << joined;
    EXPECT_EQ(r.out, "") << joined;
  }
}

TEST(HashTool, ParsesEveryIdAndPoolName) {
  for (int32_t id = 0; id < crypto::kAlgoCount; ++id) {
    for (const std::string& text : {std::to_string(id), std::string(crypto::kAlgorithms[id].pool_name)}) {
      options opts;
      std::string error;
      // Rows generated per height need one.
      const bool random = crypto::kAlgorithms[id].loop == crypto::loop_family::random;
      const char* argv[] = {"orbeck-hash", "--algo", text.c_str(), "--height", "18446744073709551615"};
      ASSERT_TRUE(parse_arguments(random ? 5 : 3, argv, &opts, &error)) << error;
      EXPECT_EQ(opts.algorithm, id) << text;
      EXPECT_EQ(opts.height, random ? UINT64_MAX : 0u) << text;
      EXPECT_FALSE(opts.bench);
    }
  }
}

TEST(HashTool, HelpListsIds) {
  const result r = run_tool({"--help"});
  EXPECT_EQ(r.code, kExitOk);
  EXPECT_NE(r.out.find("10 = CryptoNightV8 (cn/2)"), std::string::npos);
  EXPECT_NE(r.out.find("19 = CryptoNight-UPX2 (cn/upx2)"), std::string::npos);
  EXPECT_NE(r.out.find(std::to_string(crypto::kCryptoNightGpu) + " = CryptoNight-GPU (cn/gpu)"),
            std::string::npos);
}

TEST(HashTool, BenchPrintsRate) {
  const result r = run_tool({"--algo", "3", "--bench", "0.01"});
  EXPECT_EQ(r.code, kExitOk);
  ASSERT_EQ(r.out.rfind("H/s: ", 0), 0u) << r.out;
  EXPECT_GT(std::stod(r.out.substr(5)), 0.0);
  EXPECT_EQ(r.out.back(), '\n');
}

// The real executable: exit status and output through a pipe.
int run_process(const std::string& command, std::string* out) {
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[256];
  out->clear();
  while (fgets(buffer, sizeof(buffer), pipe) != nullptr) *out += buffer;
  const int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(HashTool, ProcessExitStatus) {
  const std::string tool = std::string(ORBECK_BINARY_DIR) + "/tools/orbeck_hash/orbeck-hash";
  std::string out;
  EXPECT_EQ(run_process("printf '" + kBlobB + "\\n' | " + tool + " --algo 3 2>&1", &out), 0);
  EXPECT_EQ(out, expected_hash(3, kBlobB) + "\n");
  EXPECT_EQ(run_process(tool + " --algo 3 abc 2>/dev/null", &out), 2);
  EXPECT_EQ(run_process(tool + " --algo 99 2>/dev/null", &out), 2);
  EXPECT_EQ(run_process(tool + " " + kBlobA + " 2>/dev/null", &out), 2);
  EXPECT_EQ(out, "");
}

}  // namespace
}  // namespace orbeck_hash
