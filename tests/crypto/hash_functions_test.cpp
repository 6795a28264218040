// Keccak, AES and the four final-round hashes against published vectors
// and straight-from-the-standard references.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "crypto/aes.h"
#include "crypto/blake256.h"
#include "crypto/final_hash.h"
#include "crypto/groestl.h"
#include "base/hex.h"
#include "crypto/jh.h"
#include "crypto/keccak.h"
#include "crypto/skein.h"
#include "vector_file.h"

namespace crypto {
namespace {

using digest_fn = void (*)(const std::vector<uint8_t>& input, uint8_t* out);

// Every line of a published file; the count guards against a silently
// truncated read.
void check_file(const std::string& name, digest_fn digest) {
  const std::vector<hash_vector> vectors = read_hash_vectors(name);
  ASSERT_GE(vectors.size(), 320u) << name;
  ASSERT_EQ(vectors.size(), count_vector_lines(name)) << name;
  for (const hash_vector& v : vectors) {
    uint8_t out[32];
    digest(v.input, out);
    EXPECT_EQ(base::hex_encode(out, 32), base::hex_encode(v.expected.data(), 32)) << name << ":" << v.line;
  }
}

TEST(Keccak, PublishedVectors) {
  check_file("tests-fast.txt", [](const std::vector<uint8_t>& in, uint8_t* out) {
    keccak(in.data(), in.size(), out, 32);
  });
}

TEST(Blake256, PublishedVectors) {
  check_file("tests-extra-blake.txt", [](const std::vector<uint8_t>& in, uint8_t* out) {
    blake256(in.data(), in.size(), out);
  });
}

TEST(Groestl256, PublishedVectors) {
  check_file("tests-extra-groestl.txt", [](const std::vector<uint8_t>& in, uint8_t* out) {
    ASSERT_TRUE(groestl(in.data(), in.size() * 8, out).is_ok());
  });
}

TEST(Jh256, PublishedVectors) {
  check_file("tests-extra-jh.txt", [](const std::vector<uint8_t>& in, uint8_t* out) {
    ASSERT_TRUE(jh_hash(256, in.data(), in.size() * 8, out).is_ok());
  });
}

TEST(Skein512_256, PublishedVectors) {
  check_file("tests-extra-skein.txt", [](const std::vector<uint8_t>& in, uint8_t* out) {
    ASSERT_TRUE(skein_hash(256, in.data(), in.size() * 8, out).is_ok());
  });
}

TEST(Jh256, RejectsOtherSizesAndPartialBytes) {
  const uint8_t input[4] = {1, 2, 3, 4};
  uint8_t out[64];
  std::memset(out, 0xAB, sizeof(out));
  const auto invalid = [](const std::string& text) {
    return base::status::error(base::status_code::kInvalidInput, text);
  };
  EXPECT_EQ(jh_hash(160, input, 32, out), invalid("JH digest size 160 is not 224, 256, 384 or 512 bits"));
  EXPECT_EQ(jh_hash(257, input, 32, out), invalid("JH digest size 257 is not 224, 256, 384 or 512 bits"));
  EXPECT_EQ(jh_hash(256, input, 31, out), invalid("JH input of 31 bits is not whole bytes"));
  for (uint8_t byte : out) ASSERT_EQ(byte, 0xAB);
  for (int bits : {224, 384, 512}) EXPECT_TRUE(jh_hash(bits, input, 32, out).is_ok()) << bits;
}

TEST(Skein512_256, RejectsBadSizes) {
  const uint8_t input[4] = {1, 2, 3, 4};
  uint8_t out[64];
  const auto invalid = [](const std::string& text) {
    return base::status::error(base::status_code::kInvalidInput, text);
  };
  EXPECT_EQ(skein_hash(1024, input, 32, out),
            invalid("Skein digest size 1024 is not a multiple of 8 from 8 to 512 bits"));
  EXPECT_EQ(skein_hash(0, input, 32, out),
            invalid("Skein digest size 0 is not a multiple of 8 from 8 to 512 bits"));
  EXPECT_EQ(skein_hash(256, input, 12, out), invalid("Skein input of 12 bits is not whole bytes"));
  EXPECT_EQ(groestl(input, 12, out), invalid("Groestl input of 12 bits is not whole bytes"));
}

// Absorption straight from the sponge definition, one byte at a time, for
// comparison at the block edges.
std::vector<uint8_t> reference_absorb(const std::vector<uint8_t>& input) {
  std::vector<uint8_t> padded = input;
  padded.push_back(0x01);
  while (padded.size() % 136 != 0) padded.push_back(0);
  padded.back() |= 0x80;
  uint64_t state[25] = {};
  for (size_t block = 0; block < padded.size(); block += 136) {
    for (size_t i = 0; i < 136; ++i)
      state[i / 8] ^= static_cast<uint64_t>(padded[block + i]) << (8 * (i % 8));
    keccakf(state, 24);
  }
  std::vector<uint8_t> out(200);
  for (size_t i = 0; i < 200; ++i) out[i] = static_cast<uint8_t>(state[i / 8] >> (8 * (i % 8)));
  return out;
}

TEST(Keccak, AbsorptionAtBlockEdges) {
  for (size_t length : {0u, 1u, 135u, 136u, 137u, 271u, 272u, 273u}) {
    std::vector<uint8_t> input(length);
    for (size_t i = 0; i < length; ++i) input[i] = static_cast<uint8_t>(i * 7 + 3);
    const std::vector<uint8_t> expected = reference_absorb(input);
    uint8_t out[200];
    keccak(input.data(), input.size(), out, 200);
    EXPECT_EQ(base::hex_encode(out, 200), base::hex_encode(expected.data(), 200)) << length;
    uint64_t lanes[25];
    keccak1600(input.data(), input.size(), lanes);
    EXPECT_EQ(0, std::memcmp(lanes, out, 200)) << length;
  }
}

TEST(Keccak, PaddingBytesAt135And136) {
  // 135 bytes: the single padding byte 0x81 ends the only block; so the
  // state equals one permutation of the data with 0x81 XORed in.
  std::vector<uint8_t> input(135, 0x5A);
  uint64_t manual[25] = {};
  uint8_t block[136];
  std::memcpy(block, input.data(), 135);
  block[135] = 0x81;
  for (int i = 0; i < 136; ++i) manual[i / 8] ^= static_cast<uint64_t>(block[i]) << (8 * (i % 8));
  keccakf(manual, 24);
  uint64_t lanes[25];
  keccak1600(input.data(), input.size(), lanes);
  EXPECT_EQ(0, std::memcmp(lanes, manual, sizeof(lanes)));

  // 136 bytes: a data block, then a block of only 0x01 ... 0x80.
  input.assign(136, 0xC3);
  std::memset(manual, 0, sizeof(manual));
  for (int i = 0; i < 136; ++i) manual[i / 8] ^= static_cast<uint64_t>(input[i]) << (8 * (i % 8));
  keccakf(manual, 24);
  manual[0] ^= 0x01;
  manual[16] ^= 0x80ULL << 56;
  keccakf(manual, 24);
  keccak1600(input.data(), input.size(), lanes);
  EXPECT_EQ(0, std::memcmp(lanes, manual, sizeof(lanes)));
}

TEST(Aes, SboxKnownEntries) {
  EXPECT_EQ(kAesSbox[0x00], 0x63);
  EXPECT_EQ(kAesSbox[0x01], 0x7C);
  EXPECT_EQ(kAesSbox[0x53], 0xED);
  EXPECT_EQ(kAesSbox[0xFF], 0x16);
  // A permutation of 0..255.
  bool seen[256] = {};
  for (uint8_t value : kAesSbox) seen[value] = true;
  for (bool hit : seen) EXPECT_TRUE(hit);
}

TEST(Aes, KeyScheduleMatchesFips197) {
  // FIPS-197 appendix A.3 (AES-256 key expansion).
  std::vector<uint8_t> key;
  ASSERT_TRUE(base::hex_decode("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4", &key));
  uint32_t w[40];
  aes_expand_key(key.data(), w);
  const auto be_word = [](uint32_t le) { return __builtin_bswap32(le); };
  EXPECT_EQ(be_word(w[0]), 0x603deb10u);
  EXPECT_EQ(be_word(w[8]), 0x9ba35411u);
  EXPECT_EQ(be_word(w[12]), 0xa8b09c1au);
  EXPECT_EQ(be_word(w[16]), 0xd59aecb8u);
  EXPECT_EQ(be_word(w[24]), 0x812c81adu);
  EXPECT_EQ(be_word(w[20]), 0xb5a9328au);
}

TEST(Aes, TableRoundMatchesByteReference) {
  uint8_t block[16], key[16];
  for (int trial = 0; trial < 64; ++trial) {
    for (int i = 0; i < 16; ++i) {
      block[i] = static_cast<uint8_t>(trial * 31 + i * 17 + (trial >> 2) * i);
      key[i] = static_cast<uint8_t>(trial * 5 + i * 3 + 1);
    }
    uint8_t expected[16];
    aes_round_reference(block, key, expected);
    uint32_t in[4], k[4], out[4];
    std::memcpy(in, block, 16);
    std::memcpy(k, key, 16);
    aes_round(in, k, out);
    EXPECT_EQ(0, std::memcmp(out, expected, 16)) << trial;
  }
}

TEST(Aes, LaneRoundMatchesWordRound) {
  uint32_t words[4] = {0x03020100, 0x07060504, 0x0B0A0908, 0x0F0E0D0C};
  const uint32_t key[4] = {0xA0FAFE17, 0x88542CB1, 0x23A33939, 0x2A6C7605};
  for (int trial = 0; trial < 32; ++trial) {
    uint64_t lo = static_cast<uint64_t>(words[1]) << 32 | words[0];
    uint64_t hi = static_cast<uint64_t>(words[3]) << 32 | words[2];
    aes_round_lanes(lo, hi, static_cast<uint64_t>(key[1]) << 32 | key[0],
                    static_cast<uint64_t>(key[3]) << 32 | key[2]);
    aes_round(words, key, words);
    ASSERT_EQ(lo, static_cast<uint64_t>(words[1]) << 32 | words[0]) << trial;
    ASSERT_EQ(hi, static_cast<uint64_t>(words[3]) << 32 | words[2]) << trial;
  }
}

TEST(Aes, ReferenceRoundMatchesFips197) {
  // FIPS-197 appendix B, round 1: start of round -> after MixColumns,
  // with the round key XORed at the end.
  std::vector<uint8_t> start, mixed, key;
  ASSERT_TRUE(base::hex_decode("193de3bea0f4e22b9ac68d2ae9f84808", &start));
  ASSERT_TRUE(base::hex_decode("046681e5e0cb199a48f8d37a2806264c", &mixed));
  ASSERT_TRUE(base::hex_decode("a0fafe1788542cb123a339392a6c7605", &key));
  uint8_t out[16];
  aes_round_reference(start.data(), key.data(), out);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(out[i], mixed[i] ^ key[i]) << i;
}

TEST(Aes, InvertedInputRoundFeedsUpdatedWords) {
  // Column 0 equals a table round on the inverted block; later columns
  // read bytes of words already XORed with earlier outputs.
  uint32_t in[4] = {0x01234567, 0x89ABCDEF, 0xDEADBEEF, 0x0BADF00D};
  const uint32_t key[4] = {0x11111111, 0x22222222, 0x33333333, 0x44444444};
  uint32_t inverted[4], plain[4], tweaked[4];
  for (int i = 0; i < 4; ++i) inverted[i] = ~in[i];
  aes_round(inverted, key, plain);
  aes_round_inverted_input(in, key, tweaked);
  EXPECT_EQ(tweaked[0], plain[0]);
  const auto& t = kAesTables;
  const uint32_t y0 = inverted[0] ^ tweaked[0];
  EXPECT_EQ(tweaked[1], t[0][inverted[1] & 0xFF] ^ t[1][(inverted[2] >> 8) & 0xFF] ^
                            t[2][(inverted[3] >> 16) & 0xFF] ^ t[3][y0 >> 24] ^ key[1]);
  const uint32_t y1 = inverted[1] ^ tweaked[1];
  EXPECT_EQ(tweaked[2], t[0][inverted[2] & 0xFF] ^ t[1][(inverted[3] >> 8) & 0xFF] ^
                            t[2][(y0 >> 16) & 0xFF] ^ t[3][y1 >> 24] ^ key[2]);
  const uint32_t y2 = inverted[2] ^ tweaked[2];
  EXPECT_EQ(tweaked[3], t[0][inverted[3] & 0xFF] ^ t[1][(y0 >> 8) & 0xFF] ^
                            t[2][(y1 >> 16) & 0xFF] ^ t[3][y2 >> 24] ^ key[3]);
}

TEST(FinalHash, SelectedByLowTwoBitsOfByteZero) {
  uint8_t state[200];
  for (int i = 0; i < 200; ++i) state[i] = static_cast<uint8_t>(i * 13 + 7);
  for (uint8_t first : {0x00, 0x04, 0x01, 0x05, 0x02, 0x0E, 0x03, 0x07, 0xFF}) {
    state[0] = first;
    uint8_t out[32], expected[32];
    final_hash(state, out);
    switch (first & 3) {
      case 0:
        blake256(state, 200, expected);
        break;
      case 1:
        ASSERT_TRUE(groestl(state, 1600, expected).is_ok());
        break;
      case 2:
        ASSERT_TRUE(jh_hash(256, state, 1600, expected).is_ok());
        break;
      default:
        ASSERT_TRUE(skein_hash(256, state, 1600, expected).is_ok());
        break;
    }
    EXPECT_EQ(base::hex_encode(out, 32), base::hex_encode(expected, 32)) << int(first);
  }
}

TEST(FinalHash, FourFunctionsDiffer) {
  uint8_t state[200] = {};
  uint8_t outs[4][32];
  for (int k = 0; k < 4; ++k) kFinalHashes[k](state, 200, outs[k]);
  for (int a = 0; a < 4; ++a) {
    for (int b = a + 1; b < 4; ++b)
      EXPECT_NE(0, std::memcmp(outs[a], outs[b], 32)) << a << " " << b;
  }
}

TEST(Hex, RoundTripAndRejects) {
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(base::hex_decode("00ffA0b1", &bytes));
  EXPECT_EQ(bytes, (std::vector<uint8_t>{0x00, 0xFF, 0xA0, 0xB1}));
  EXPECT_EQ(base::hex_encode(bytes.data(), bytes.size()), "00ffa0b1");
  EXPECT_TRUE(base::hex_decode("", &bytes));
  EXPECT_TRUE(bytes.empty());
  EXPECT_FALSE(base::hex_decode("abc", &bytes));
  EXPECT_TRUE(bytes.empty());
  EXPECT_FALSE(base::hex_decode("zz", &bytes));
  EXPECT_FALSE(base::hex_decode("0g", &bytes));
  EXPECT_FALSE(base::hex_decode("0 ", &bytes));
}

}  // namespace
}  // namespace crypto
