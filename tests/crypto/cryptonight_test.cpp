// CryptoNight for every algorithm id against the published vectors, and the
// class's behaviour around ids, lengths and reuse of the work area.
#include "crypto/cryptonight.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "base/hex.h"
#include "crypto/algorithm.h"
#include "support/cpu_hash.h"
#include "vector_file.h"

namespace crypto {
namespace {

std::string hash_hex(CryptoNight& hash, int32_t id, const std::vector<uint8_t>& blob) {
  uint8_t out[32];
  std::memset(out, 0xEE, sizeof(out));
  hash.hash(id, blob.data(), blob.size(), out);
  return base::hex_encode(out, 32);
}

void check_file(int32_t id, const std::string& name) {
  const std::vector<hash_vector> vectors = read_hash_vectors(name);
  ASSERT_FALSE(vectors.empty());
  ASSERT_EQ(vectors.size(), count_vector_lines(name));
  const auto cn = support::cpu_hash();
  for (const hash_vector& v : vectors) {
    EXPECT_EQ(hash_hex(*cn, id, v.input), base::hex_encode(v.expected.data(), 32))
        << name << ":" << v.line;
  }
}

TEST(CryptoNightVectors, SlowId0) { check_file(kCryptoNight, "tests-slow.txt"); }
TEST(CryptoNightVectors, SlowId1) { check_file(kCryptoNightV7, "tests-slow-1.txt"); }
TEST(CryptoNightVectors, SlowId10) { check_file(kCryptoNightV8, "tests-slow-2.txt"); }

// One test per id over the variants table so a failure names the id.
class CryptoNightVariants : public testing::TestWithParam<int32_t> {};

TEST_P(CryptoNightVariants, PublishedVectors) {
  const int32_t id = GetParam();
  const std::vector<hash_vector> all = read_variant_vectors("cryptonight-variants.tsv");
  ASSERT_EQ(all.size() + 1, count_vector_lines("cryptonight-variants.tsv"));
  const auto cn = support::cpu_hash();
  int checked = 0;
  for (const hash_vector& v : all) {
    if (v.algorithm != id) continue;
    EXPECT_EQ(hash_hex(*cn, id, v.input), base::hex_encode(v.expected.data(), 32))
        << "line " << v.line;
    ++checked;
  }
  EXPECT_GT(checked, 0) << "no vector for id " << id;
}

INSTANTIATE_TEST_SUITE_P(AllIds, CryptoNightVariants, testing::Range<int32_t>(0, kCryptoNightHalf));

// The members of 2019, by the name the vector file gives them: every
// published vector of each (cn/ccx's include the empty input).
const char* const kNames2019[] = {"cn/half", "cn/rwz",      "cn/zls",  "cn/double", "cn/xao",
                                  "cn/ccx",  "cn-pico/0",   "cn-pico/tlo", "cn/upx2", "cn/gpu"};

class CryptoNight2019 : public testing::TestWithParam<const char*> {};

TEST_P(CryptoNight2019, PublishedVectors) {
  const std::string name = GetParam();
  const std::vector<hash_vector> all = read_named_vectors("cryptonight-variants-2019.tsv");
  ASSERT_EQ(all.size() + 1, count_vector_lines("cryptonight-variants-2019.tsv"));
  const auto cn = support::cpu_hash();
  int checked = 0;
  for (const hash_vector& v : all) {
    if (v.name != name) continue;
    ASSERT_GE(v.algorithm, kCryptoNightHalf) << name;
    EXPECT_EQ(hash_hex(*cn, v.algorithm, v.input), base::hex_encode(v.expected.data(), 32))
        << name << " line " << v.line;
    ++checked;
  }
  EXPECT_GT(checked, 0) << "no vector for " << name;
}

std::string ParamName(const testing::TestParamInfo<const char*>& info) {
  std::string name = info.param;
  for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(ByName, CryptoNight2019, testing::ValuesIn(kNames2019), ParamName);

TEST(CryptoNight, IdsOutsideCatalogueLeaveOutputUntouched) {
  const auto cn = support::cpu_hash();
  const std::vector<uint8_t> blob(76, 0x42);
  for (int32_t id : {-1, kAlgoCount, kAlgoCount + 1, -100, 1 << 30}) {
    EXPECT_EQ(hash_hex(*cn, id, blob), std::string(64, 'e')) << id;
  }
}

TEST(CryptoNight, LengthRuleAt42And43Bytes) {
  const auto cn = support::cpu_hash();
  const std::vector<uint8_t> short_blob(42, 0x11);
  const std::vector<uint8_t> long_blob(43, 0x11);
  const std::string zeros(64, '0');
  for (int32_t id = 0; id < kAlgoCount; ++id) {
    const bool tweaked = find_algorithm(id)->v7_shift != 0;
    if (id == kCryptoNightHeavy || id == kCryptoNightXhvHeavy || id == kCryptoNightTubeHeavy)
      continue;
    const std::string short_hash = hash_hex(*cn, id, short_blob);
    if (tweaked) {
      EXPECT_EQ(short_hash, zeros) << id;
    } else {
      EXPECT_NE(short_hash, zeros) << id;
    }
    EXPECT_NE(hash_hex(*cn, id, long_blob), zeros) << id;
  }
}

TEST(CryptoNight, LengthRuleOnHeavyIds) {
  const auto cn = support::cpu_hash();
  const std::vector<uint8_t> short_blob(42, 0x22);
  const std::string zeros(64, '0');
  EXPECT_EQ(hash_hex(*cn, kCryptoNightTubeHeavy, short_blob), zeros);
  EXPECT_NE(hash_hex(*cn, kCryptoNightHeavy, short_blob), zeros);
  EXPECT_NE(hash_hex(*cn, kCryptoNightXhvHeavy, short_blob), zeros);
}

TEST(CryptoNight, TweakReadsBlobBytes35To42) {
  // The V7 tweak makes bytes 35..42 matter beyond absorption: changing a
  // nonce byte changes the id 1 hash (as it does any hash), and a 43-byte
  // blob hashes without reading past its end (checked under ASan).
  const auto cn = support::cpu_hash();
  std::vector<uint8_t> blob(43, 0x33);
  const std::string before = hash_hex(*cn, kCryptoNightV7, blob);
  blob[42] ^= 1;
  EXPECT_NE(hash_hex(*cn, kCryptoNightV7, blob), before);
}

TEST(CryptoNight, EmptyAndLongBlobs) {
  const auto cn = support::cpu_hash();
  const std::vector<uint8_t> empty;
  const std::vector<uint8_t> long_blob(300, 0x5C);
  EXPECT_NE(hash_hex(*cn, kCryptoNight, empty), std::string(64, '0'));
  EXPECT_EQ(hash_hex(*cn, kCryptoNightV7, empty), std::string(64, '0'));
  EXPECT_NE(hash_hex(*cn, kCryptoNightV8, long_blob), hash_hex(*cn, kCryptoNightV8, empty));
}

TEST(CryptoNight, OtherIdInBetweenDoesNotDisturb) {
  // A 4 MiB id leaves stale bytes beyond the 1 and 2 MiB scratchpads; the
  // next hash must not depend on them.
  const std::vector<uint8_t> blob(76, 0x07);
  const std::string light = hash_hex(*support::cpu_hash(), kCryptoNightV7Lite, blob);
  const std::string v8 = hash_hex(*support::cpu_hash(), kCryptoNightV8, blob);
  const auto cn = support::cpu_hash();
  EXPECT_EQ(hash_hex(*cn, kCryptoNightV7Lite, blob), light);
  hash_hex(*cn, kCryptoNightXhvHeavy, blob);
  EXPECT_EQ(hash_hex(*cn, kCryptoNightV7Lite, blob), light);
  hash_hex(*cn, kCryptoNightHeavy, blob);
  EXPECT_EQ(hash_hex(*cn, kCryptoNightV8, blob), v8);
  EXPECT_EQ(hash_hex(*cn, kCryptoNightV7Lite, blob), light);
}

TEST(CryptoNight, EveryIdGivesItsOwnHash) {
  const auto cn = support::cpu_hash();
  const std::vector<uint8_t> blob(76, 0x09);
  std::set<std::string> hashes;
  for (int32_t id = 0; id < kAlgoCount; ++id) hashes.insert(hash_hex(*cn, id, blob));
  EXPECT_EQ(hashes.size(), static_cast<size_t>(kAlgoCount));
}

TEST(CryptoNight, InstancesAreIndependent) {
  const std::vector<uint8_t> a(76, 0x01), b(76, 0x02);
  const auto first = support::cpu_hash();
  const auto second = support::cpu_hash();
  const std::string ha = hash_hex(*first, kCryptoNight, a);
  hash_hex(*second, kCryptoNight, b);
  EXPECT_EQ(hash_hex(*first, kCryptoNight, a), ha);
}

// ASan reserves address space of its own, so an address-space limit says
// nothing there; the plain build covers this path.
#if !defined(__SANITIZE_ADDRESS__)
// Runs in the death-test child: leaves the process 1 MiB of address space
// beyond what it uses, then constructs. Exit 0 with the message on stderr
// when creation fails.
void construct_under_address_limit() {
  std::ifstream statm("/proc/self/statm");
  unsigned long pages = 0;
  statm >> pages;
  const rlim_t used = static_cast<rlim_t>(pages) * 4096;
  rlimit limit{};
  limit.rlim_cur = used + (1 << 20);
  limit.rlim_max = used + (1 << 20);
  if (pages == 0 || setrlimit(RLIMIT_AS, &limit) != 0) std::_Exit(3);
  std::unique_ptr<CryptoNight> cn;
  const base::status created = CryptoNight::create(cn);
  if (created || cn != nullptr) std::_Exit(4);
  if (created.code() != base::status_code::kIoError) std::_Exit(5);
  std::fputs(created.message().c_str(), stderr);
  std::_Exit(0);
}

TEST(CryptoNightDeathTest, FailedAllocationFailsCreation) {
  EXPECT_EXIT(construct_under_address_limit(), testing::ExitedWithCode(0),
              "cannot allocate the 4194528-byte hash work area");
}
#endif

}  // namespace
}  // namespace crypto
