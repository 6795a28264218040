// CryptoNightR: the per-height program generator against known listings
// and digests (including its rare paths), the interpreter and the machine
// code translation against each other, and the full hash against the
// published vectors at their heights.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "base/hex.h"
#include "crypto/algorithm.h"
#include "crypto/blake256.h"
#include "crypto/cn_r_code.h"
#include "crypto/cn_r_program.h"
#include "crypto/cryptonight.h"
#include "support/cpu_hash.h"
#include "vector_file.h"

namespace crypto {
namespace {

std::string digest_hex(const std::vector<uint8_t>& bytes) {
  uint8_t digest[32];
  blake256(bytes.data(), bytes.size(), digest);
  return base::hex_encode(digest, sizeof(digest));
}

// The programs of two consecutive heights, entry by entry (60..62 are the
// padding that lengthens the chain).
const char* const kListings[][2] = {
    {"ROL r0, r7", "ADD r1, r5, 0xBE109A4A"},
    {"MUL r3, r1", "MUL r0, r1"},
    {"ADD r2, r7, 0xD3CEFCDD", "MUL r3, r3"},
    {"SUB r0, r8", "MUL r2, r5"},
    {"ADD r3, r4, 0xD6023B04", "ADD r2, r0, 0x6458E930"},
    {"XOR r1, r0", "MUL r3, r5"},
    {"XOR r1, r5", "MUL r0, r1"},
    {"XOR r1, r0", "XOR r3, r1"},
    {"MUL r0, r7", "ADD r3, r6, 0x6A36DED3"},
    {"MUL r2, r1", "MUL r2, r6"},
    {"MUL r2, r4", "ROR r2, r1"},
    {"MUL r2, r7", "MUL r1, r1"},
    {"SUB r1, r8", "MUL r0, r2"},
    {"ADD r0, r6, 0x5A5EE9A0", "XOR r1, r3"},
    {"ADD r2, r0, 0x5E9EAB0B", "MUL r3, r6"},
    {"MUL r3, r5", "MUL r0, r5"},
    {"MUL r1, r0", "MUL r2, r6"},
    {"XOR r2, r0", "XOR r3, r8"},
    {"MUL r0, r0", "MUL r3, r2"},
    {"SUB r3, r6", "MUL r0, r5"},
    {"ROL r3, r0", "MUL r3, r7"},
    {"XOR r2, r4", "XOR r2, r5"},
    {"MUL r3, r5", "MUL r0, r2"},
    {"XOR r2, r0", "XOR r0, r8"},
    {"ROL r2, r4", "MUL r3, r2"},
    {"XOR r3, r8", "XOR r3, r1"},
    {"MUL r0, r4", "SUB r1, r4"},
    {"ADD r2, r3, 0x853ECFA0", "SUB r0, r1"},
    {"XOR r0, r3", "MUL r2, r5"},
    {"MUL r0, r2", "SUB r3, r1"},
    {"XOR r2, r7", "MUL r0, r2"},
    {"MUL r0, r7", "XOR r2, r1"},
    {"ROR r0, r4", "MUL r0, r1"},
    {"MUL r3, r2", "ADD r0, r7, 0x74FC6FF9"},
    {"ADD r2, r3, 0x16CFFE5F", "MUL r1, r6"},
    {"MUL r1, r4", "MUL r3, r6"},
    {"SUB r3, r5", "ROR r3, r4"},
    {"ADD r3, r7, 0x1A9F2053", "XOR r3, r0"},
    {"SUB r0, r5", "SUB r1, r8"},
    {"ADD r1, r8, 0x43BDA070", "XOR r0, r6"},
    {"XOR r3, r8", "ROL r3, r4"},
    {"MUL r0, r4", "MUL r2, r2"},
    {"ROR r3, r5", "MUL r1, r5"},
    {"MUL r2, r0", "SUB r2, r5"},
    {"ROR r0, r1", "SUB r0, r7"},
    {"ADD r0, r7, 0xFB976D6B", "XOR r0, r2"},
    {"ROL r0, r2", "XOR r1, r5"},
    {"ADD r0, r7, 0x6AAC57C8", "XOR r2, r6"},
    {"XOR r0, r3", "MUL r1, r7"},
    {"ADD r2, r8, 0xA27053CB", "MUL r2, r5"},
    {"XOR r1, r4", "ROR r1, r4"},
    {"SUB r3, r8", "XOR r3, r6"},
    {"XOR r3, r5", "MUL r0, r4"},
    {"SUB r3, r2", "XOR r0, r8"},
    {"ROL r2, r2", "ADD r2, r5, 0x4B95C50B"},
    {"ADD r3, r6, 0xF5085AD7", "ROL r3, r4"},
    {"XOR r2, r6", "ROL r2, r6"},
    {"SUB r2, r7", "ADD r3, r4, 0x112AF084"},
    {"SUB r3, r1", "MUL r2, r0"},
    {"SUB r1, r8", "XOR r3, r8"},
    {"ROR r1, r2", "ROR r1, r2"},
    {"MUL r0, r1", "MUL r3, r1"},
    {"MUL r2, r0", "MUL r0, r3"},
    {"RET", "RET"},
};

TEST(RandomProgram, ListingsOfTwoHeights) {
  const random_program p0 = generate_random_program(1806260);
  const random_program p1 = generate_random_program(1806261);
  ASSERT_EQ(p0.length, std::size(kListings));
  ASSERT_EQ(p1.length, std::size(kListings));
  for (size_t i = 0; i < std::size(kListings); ++i) {
    EXPECT_EQ(random_instruction_text(p0.code[i]), kListings[i][0]) << "1806260 #" << i;
    EXPECT_EQ(random_instruction_text(p1.code[i]), kListings[i][1]) << "1806261 #" << i;
  }
}

// Heights chosen for the generator's rarer paths: rejected rotations,
// several attempts (too short, r8 unused, all registers at the budget),
// equal chain lengths before the padding, the shortest and longest programs.
struct digest_case {
  uint64_t height;
  uint32_t length;  // without RET
  const char* digest;
};
const digest_case kDigests[] = {
    {1806260, 63, "588ca2939150c4254241e2132972fb1f07317c6b6f641833b1af45ef669fa744"},
    {1806261, 63, "e8d6c8aa234c9d60785b2008652fa037bc2ba3abf715219f47ec221de3bd1336"},
    {1806266, 62, "fbb558d498acfad34c5d1792b8089a79857fb0e7f4b9f4c7cf44c16d4bfb7fcd"},
    {1806290, 65, "bfe36694c1bac623478ee6fbb61af709683f0284fc7d13b6939cff99d9f2786b"},
    {1806375, 65, "a5645b3fe200f29ddecb3cc841ca41381adf36cf55091fb3188c00524d3b0bd5"},
    {1788152, 63, "07d5a41f1bfdbb69cd81d57b32528f3dcb979193d796344d7b7919b4590fa5ef"},
    {1790115, 62, "eacfb366edd2421cd825aef021eb8807bb949bca8e985e667acc7969f0a9c4c5"},
    {1788120, 60, "bb46daa70605f5863ffe956a09500feb316c33085c90d6bdb2265db7e5bb1600"},
    {1805677, 62, "04b2b707f5a3356b777ff3ee128885b3f572d4964eb794fda7b8a1fe11abffa6"},
    {1902112, 69, "4eba2be417a35e914464d22a42d3f5c4417ef64de8f1958129e42b28115d142a"},
    {1938996, 62, "41a60564d45cda8441cae541ca7acaeadafd7a51f2e1a6b93687ed78da266644"},
    {1949975, 63, "661db59f4a48078f59752eb787191f6f43e51fe7cf7b853411ecb734233b957b"},
};

TEST(RandomProgram, DigestsOfRarePaths) {
  for (const digest_case& c : kDigests) {
    const random_program p = generate_random_program(c.height);
    EXPECT_EQ(p.length, c.length + 1) << c.height;
    EXPECT_EQ(digest_hex(serialize_random_program(p)), c.digest) << c.height;
  }
}

// Every program of the era the hash was used in, concatenated: one digest
// that any wrong reading of a generator rule changes.
TEST(RandomProgram, WholeEraDigest) {
  const auto start = std::chrono::steady_clock::now();
  std::vector<uint8_t> all;
  all.reserve(85452381);
  for (uint64_t height = 1788000; height <= 1978432; ++height) {
    const std::vector<uint8_t> bytes = serialize_random_program(generate_random_program(height));
    all.insert(all.end(), bytes.begin(), bytes.end());
  }
  EXPECT_EQ(all.size(), 85452381u);
  EXPECT_EQ(digest_hex(all), "d8e26c3805ed661cfd7a254c2b82aa99027cd08de104f17275c128a4131e7fa5");
  std::printf("190433 programs generated and hashed in %.2f s\n",
              std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}

TEST(RandomProgram, InterpreterRegisters) {
  struct {
    uint64_t height;
    uint32_t r[4];
  } const kCases[] = {{1806260, {0x08d74b64, 0x59d83bfa, 0xc6ec7fb8, 0x1259779d}},
                      {1806261, {0x12ca7620, 0xd5a44385, 0x87871580, 0xdae83cb1}}};
  for (const auto& c : kCases) {
    for (bool native : {false, true}) {
      uint32_t r[kRandomRegisters];
      for (uint32_t i = 0; i < kRandomRegisters; ++i) r[i] = (i + 1) * 0x9E3779B9u;
      random_program_code code(c.height, native);
      code.run(r);
      EXPECT_EQ(std::vector<uint32_t>(r, r + 4), std::vector<uint32_t>(c.r, c.r + 4))
          << c.height << (native ? " native" : " interpreted");
      for (uint32_t i = 4; i < kRandomRegisters; ++i) EXPECT_EQ(r[i], (i + 1) * 0x9E3779B9u);
    }
  }
}

// The translated code against the interpreter on random registers, over a
// run of heights and the edges of the height's bytes.
TEST(RandomProgram, NativeCodeMatchesInterpreter) {
  std::mt19937 random(25);
  std::vector<uint64_t> heights = {0,          1,          255,  256, 65535, 65536, 0xFFFFFFFFull,
                                   1ull << 32, 1ull << 63, ~0ull};
  for (uint64_t h = 1806200; h < 1806300; ++h) heights.push_back(h);
  bool any_native = false;
  for (uint64_t height : heights) {
    const random_program_code native(height);
    any_native |= native.native();
    for (int round = 0; round < 8; ++round) {
      uint32_t a[kRandomRegisters], b[kRandomRegisters];
      for (uint32_t i = 0; i < kRandomRegisters; ++i) a[i] = b[i] = random();
      native.run(a);
      execute_random_program(native.program(), b);
      ASSERT_EQ(std::vector<uint32_t>(a, a + 9), std::vector<uint32_t>(b, b + 9)) << height;
    }
  }
#if defined(__x86_64__) && defined(__linux__)
  EXPECT_TRUE(any_native) << "no program was translated on this machine";
#endif
}

// The process's address space in KiB (VmSize).
size_t address_space_kib() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmSize:", 0) == 0) return std::stoul(line.substr(7));
  }
  return 0;
}

// A miner builds one program per block for days: building and dropping the
// programs of 2000 consecutive heights (a page of code each) leaves the
// address space as it was.
TEST(RandomProgram, ProgramsOfManyHeightsLeaveNoMappingBehind) {
  const size_t before = address_space_kib();
  ASSERT_GT(before, 0u);
  for (uint64_t height = 1806000; height < 1808000; ++height) {
    const random_program_code code(height);
    uint32_t r[kRandomRegisters] = {};
    code.run(r);
  }
  const size_t after = address_space_kib();
  std::printf("address space: %zu KiB before, %zu KiB after 2000 heights\n", before, after);
  EXPECT_LT(after, before + 1024);  // a leak would be 8000 KiB
}

TEST(CryptoNightR, PublishedVectorsAtTheirHeights) {
  const std::vector<hash_vector> all = read_named_vectors("cryptonight-variants-2019.tsv");
  const auto cn = support::cpu_hash();
  int checked = 0;
  const hash_vector* first = nullptr;
  for (const hash_vector& v : all) {
    if (v.algorithm != kCryptoNightR) continue;
    if (first == nullptr) first = &v;
    uint8_t out[32];
    cn->hash(kCryptoNightR, v.input.data(), v.input.size(), out, v.height);
    EXPECT_EQ(base::hex_encode(out, 32), base::hex_encode(v.expected.data(), 32))
        << "height " << v.height << " line " << v.line;
    ++checked;
  }
  EXPECT_EQ(checked, 7);
  ASSERT_NE(first, nullptr);
  // The same blob at another height is another hash; back at the first
  // height (its program built again) it is the first hash again.
  uint8_t h1[32], h2[32], h3[32];
  cn->hash(kCryptoNightR, first->input.data(), first->input.size(), h1, first->height);
  cn->hash(kCryptoNightR, first->input.data(), first->input.size(), h2, first->height + 1);
  cn->hash(kCryptoNightR, first->input.data(), first->input.size(), h3, first->height);
  EXPECT_NE(std::memcmp(h1, h2, 32), 0);
  EXPECT_EQ(std::memcmp(h1, h3, 32), 0);
}

}  // namespace
}  // namespace crypto
