// The single steps of the variant rules, including the cases the published
// vectors are unlikely to reach.
#include "crypto/variant_rules.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <random>

namespace crypto {
namespace {

// The byte-11 rule as its table reads: n from three bits of x (weights 8, 4,
// 2), then the value XORed into the byte.
uint8_t tweak_from_table(uint8_t x, int shift) {
  const int high = (x >> (shift + 3)) & 1;
  const int mid = (x >> (shift + 2)) & 1;
  const int n = high * 8 + mid * 4 + (x & 1) * 2;
  static constexpr uint8_t kXor[8] = {0x10, 0x00, 0x30, 0x00, 0x10, 0x10, 0x30, 0x10};
  return static_cast<uint8_t>(x ^ kXor[n / 2]);
}

TEST(V7Tweak, Byte11TableBothShifts) {
  for (int shift : {2, 3}) {
    for (int x = 0; x < 256; ++x) {
      const uint8_t tweaked = v7_tweak_byte11(static_cast<uint8_t>(x), shift);
      EXPECT_EQ(tweaked, tweak_from_table(static_cast<uint8_t>(x), shift)) << shift << " " << x;
      EXPECT_EQ(tweaked & ~0x30, x & ~0x30) << "only bits 4 and 5 may change";
    }
  }
}

TEST(V7Tweak, DocumentedExamples) {
  EXPECT_EQ(v7_tweak_byte11(0x00, 2), 0x10);
  EXPECT_EQ(v7_tweak_byte11(0x01, 2), 0x01);
  EXPECT_EQ(v7_tweak_byte11(0x10, 2), 0x20);
  EXPECT_EQ(v7_tweak_byte11(0x10, 3), 0x00);
  EXPECT_EQ(v7_tweak_byte11(0x20, 3), 0x10);
}

TEST(V7Tweak, ValueFromLane24AndBlobBytes35To42) {
  uint8_t blob[43] = {};
  for (int i = 35; i < 43; ++i) blob[i] = static_cast<uint8_t>(i);
  uint64_t expected = 0;
  for (int i = 0; i < 8; ++i) expected |= static_cast<uint64_t>(35 + i) << (8 * i);
  EXPECT_EQ(v7_tweak_value(0, blob), expected);
  EXPECT_EQ(v7_tweak_value(~0ULL, blob), ~expected);
  blob[34] = 0xFF;  // outside the tweak bytes
  EXPECT_EQ(v7_tweak_value(0, blob), expected);
}

TEST(HeavyDivision, TruncatesTowardZero) {
  // n = -7, d = 0: divisor 5, q = -1 (not -2); lane -7 ^ -1 = 6.
  const int64_t q = heavy_quotient(-7, 0);
  EXPECT_EQ(q, -1);
  EXPECT_EQ(-7 ^ q, 6);
  EXPECT_EQ(heavy_next_index(0, q, false), ~0ULL);
  EXPECT_EQ(heavy_next_index(0, q, true), 0u);
  EXPECT_EQ(heavy_quotient(7, 0), 1);
  EXPECT_EQ(heavy_quotient(-23, 2), -3);  // 2 | 5 = 7
  EXPECT_EQ(heavy_quotient(23, -8), -7);  // -8 | 5 = -3
}

TEST(HeavyDivision, DivisorIsSignExtendedDOrFive) {
  std::mt19937_64 rng(12345);
  for (int trial = 0; trial < 1000; ++trial) {
    const int64_t n = static_cast<int64_t>(rng());
    const int32_t d = static_cast<int32_t>(rng());
    const int64_t divisor = static_cast<int64_t>(d) | 5;
    ASSERT_NE(divisor, 0);
    if (divisor == -1) continue;
    ASSERT_EQ(heavy_quotient(n, d), n / divisor) << n << " " << d;
  }
  EXPECT_EQ(heavy_quotient(1000, std::numeric_limits<int32_t>::min()),
            1000 / (INT64_C(-2147483648) | 5));
}

TEST(HeavyDivision, MinimumOverMinusOneWraps) {
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  // d of -1, -2, -5 and -6 all give divisor -1.
  for (int32_t d : {-1, -2, -5, -6}) {
    EXPECT_EQ(heavy_quotient(kMin, d), kMin) << d;
    EXPECT_EQ(heavy_quotient(5, d), -5) << d;
    EXPECT_EQ(heavy_quotient(std::numeric_limits<int64_t>::max(), d),
              -std::numeric_limits<int64_t>::max());
  }
  EXPECT_EQ(heavy_quotient(kMin, -3), kMin / -3);  // -3 | 5 = -3: ordinary
}

TEST(HeavyDivision, NextIndexSignExtendsD) {
  EXPECT_EQ(heavy_next_index(-1, 0, false), ~0ULL);
  EXPECT_EQ(heavy_next_index(-1, 0, true), 0u);
  EXPECT_EQ(heavy_next_index(0x7FFFFFFF, 0, true), 0xFFFFFFFF80000000ULL);
  EXPECT_EQ(heavy_next_index(0x1234, 0x10, false), 0x1224u);
}

TEST(V8Divisor, DropsCarryOutOfBit31) {
  EXPECT_EQ(v8_divisor(0xFFFFFFFFULL, 1), 0x80000001u);          // 0xFFFFFFFF + 2 wraps to 1
  EXPECT_EQ(v8_divisor(0xABCDEF0000000000ULL, 0), 0x80000001u);  // upper lane bits unused
  EXPECT_EQ(v8_divisor(0, 0x80000000ULL), 0x80000001u);          // 2 * 2^31 has no low bits
  EXPECT_EQ(v8_divisor(0x10, 0x7FFFFFFFULL), (0x10u + 0xFFFFFFFEu) | 0x80000001u);
  EXPECT_EQ(v8_divisor(0x12345678, 0x100), (0x12345678u + 0x200u) | 0x80000001u);
}

TEST(V8Division, QuotientLowHalfRemainderHigh) {
  std::mt19937_64 rng(777);
  for (int trial = 0; trial < 1000; ++trial) {
    const uint64_t dividend = rng();
    const uint32_t divisor = static_cast<uint32_t>(rng()) | 0x80000001u;
    const uint64_t result = v8_division(dividend, divisor);
    const uint64_t quotient_low = result & 0xFFFFFFFF;
    const uint64_t remainder = result >> 32;
    ASSERT_LT(remainder, divisor);
    // quotient (up to 33 bits) * divisor + remainder == dividend, with the
    // quotient's bit 32 restored from the dividend.
    const uint64_t q_full = dividend / divisor;
    ASSERT_EQ(quotient_low, q_full & 0xFFFFFFFF);
    ASSERT_EQ(static_cast<unsigned __int128>(q_full) * divisor + remainder, dividend);
  }
  // A quotient of 2^32 or more keeps only its low 32 bits.
  const uint64_t big = ~0ULL;
  EXPECT_EQ(v8_division(big, 0x80000001u) & 0xFFFFFFFF, (big / 0x80000001u) & 0xFFFFFFFF);
  EXPECT_GE(big / 0x80000001u, 1ULL << 32);
}

// The exact square root the V8 rules define: the largest r with
// (r + 2^33)^2 <= 2^66 + 4 * input, i.e. floor(2 * sqrt(2^64 + input)) - 2^33.
bool is_exact_root(uint64_t r, uint64_t input) {
  using u128 = unsigned __int128;
  const u128 target = (static_cast<u128>(1) << 66) + static_cast<u128>(input) * 4;
  const u128 low = static_cast<u128>(r) + (static_cast<u128>(1) << 33);
  return low * low <= target && (low + 1) * (low + 1) > target;
}

// Smallest input whose root is r (r >= 1).
uint64_t first_input_of(uint64_t r) {
  using u128 = unsigned __int128;
  const u128 low = static_cast<u128>(r) + (static_cast<u128>(1) << 33);
  const u128 excess = low * low - (static_cast<u128>(1) << 66);
  return static_cast<uint64_t>((excess + 3) / 4);
}

TEST(V8Sqrt, ExactAtRootBoundaries) {
  std::mt19937_64 rng(4242);
  for (int trial = 0; trial < 2000; ++trial) {
    // Roots up to 0xD413CCCF, the root of input 2^64 - 1.
    const uint64_t r = 1 + rng() % 0xD413CCCFULL;
    const uint64_t first = first_input_of(r);
    for (uint64_t input : {first - 1, first, first + 1}) {
      ASSERT_TRUE(is_exact_root(v8_sqrt(input), input)) << input;
    }
    ASSERT_EQ(v8_sqrt(first), r);
    ASSERT_EQ(v8_sqrt(first - 1), r - 1);
  }
}

TEST(V8Sqrt, ExactAtTheEnds) {
  for (uint64_t input : {0ULL, 1ULL, 2ULL, 3ULL, ~0ULL, ~0ULL - 1, 1ULL << 63, (1ULL << 63) - 1}) {
    EXPECT_TRUE(is_exact_root(v8_sqrt(input), input)) << input;
  }
  EXPECT_EQ(v8_sqrt(0), 0u);
}

TEST(V8Sqrt, FixupCorrectsEstimatesOffByOne) {
  std::mt19937_64 rng(99);
  for (int trial = 0; trial < 2000; ++trial) {
    const uint64_t r = 2 + rng() % 0xD413CCCDULL;
    for (uint64_t input :
         {first_input_of(r), first_input_of(r) - 1, first_input_of(r) + rng() % 1000}) {
      uint64_t exact = 0;
      for (uint64_t candidate : {r - 2, r - 1, r, r + 1}) {
        if (is_exact_root(candidate, input)) exact = candidate;
      }
      ASSERT_NE(exact, 0u);
      ASSERT_EQ(v8_sqrt_fixup(exact, input), exact) << input;
      ASSERT_EQ(v8_sqrt_fixup(exact + 1, input), exact) << input;
      ASSERT_EQ(v8_sqrt_fixup(exact - 1, input), exact) << input;
    }
  }
}

TEST(V8Sqrt, RandomInputsExact) {
  std::mt19937_64 rng(2718);
  for (int trial = 0; trial < 20000; ++trial) {
    const uint64_t input = rng() >> (rng() % 64);
    ASSERT_TRUE(is_exact_root(v8_sqrt(input), input)) << input;
  }
}

// The worked example of the two shuffle forms: the same neighbours and
// values at both points (at the second, N1 stands for the 0x10 line already
// XORed with the product). The reversed 0x10 line shows that no carry
// passes from the low lane into the high one.
TEST(V8Shuffle, NormalAndReversedForms) {
  const uint64_t a[2] = {0x1111111111111111, 0x2222222222222222};
  const uint64_t b[2] = {0x100, 0x200};
  const uint64_t bb[2] = {0x1, 0xffffffffffffffff};
  struct shuffle_case {
    bool reverse;
    uint64_t n1[2];  // old line(x ^ 0x10)
    uint64_t expected[3][2];
  };
  const uint64_t second_n1[2] = {0xffffffffffffffff ^ 0xf0, 0x10 ^ 0x0f00000000000000};
  const shuffle_case cases[] = {
      {false, {0xffffffffffffffff, 0x10},
       {{0x41, 0x4f}, {0xff, 0x210}, {0x1111111111111131, 0x2222222222222252}}},
      {true, {0xffffffffffffffff, 0x10},
       {{0x0, 0xf}, {0x140, 0x250}, {0x1111111111111131, 0x2222222222222252}}},
      {false, {second_n1[0], second_n1[1]},
       {{0x41, 0x4f}, {0xf, 0x0f00000000000210}, {0x1111111111111131, 0x2222222222222252}}},
      {true, {second_n1[0], second_n1[1]},
       {{0xffffffffffffff10, 0x0f0000000000000f}, {0x140, 0x250}, {0x1111111111111131, 0x2222222222222252}}},
  };
  for (const shuffle_case& c : cases) {
    // One 64-byte block; the anchor is its third line (offset 0x20), so
    // its neighbours 0x10, 0x20 and 0x30 sit at 0x30, 0x00 and 0x10.
    const uint64_t anchor = 0x20;
    uint64_t block[4][2] = {};
    const uint64_t old_lines[3][2] = {{c.n1[0], c.n1[1]}, {0x20, 0x30}, {0x40, 0x50}};
    for (int k = 0; k < 3; ++k) {
      std::memcpy(block[(anchor ^ (0x10 * (k + 1))) / 16], old_lines[k], 16);
    }
    block[anchor / 16][0] = 0x5555;
    block[anchor / 16][1] = 0xAAAA;
    auto* pad = reinterpret_cast<uint8_t*>(block);
    if (c.reverse) {
      v8_shuffle_block<true>(pad, anchor, bb, b, a);
    } else {
      v8_shuffle_block<false>(pad, anchor, bb, b, a);
    }
    for (int k = 0; k < 3; ++k) {
      const uint64_t* line = block[(anchor ^ (0x10 * (k + 1))) / 16];
      EXPECT_EQ(line[0], c.expected[k][0]) << "reverse " << c.reverse << " line " << k;
      EXPECT_EQ(line[1], c.expected[k][1]) << "reverse " << c.reverse << " line " << k;
    }
    EXPECT_EQ(block[anchor / 16][0], 0x5555u) << "the anchor line is not touched";
    EXPECT_EQ(block[anchor / 16][1], 0xAAAAu);
  }
}

// Three consecutive conceal steps from a zero accumulator. Step 1's last
// word (2^24 + 3) rounds to 2^24 + 4 only under round-to-nearest-even.
TEST(ConcealStep, ThreeStepsFromZero) {
  struct conceal_case {
    uint32_t in[4];
    uint32_t out[4];
    uint32_t acc_bits[4];
  };
  const conceal_case steps[] = {
      {{0x00000000, 0x7fffffff, 0x80000000, 0x01000003},
       {0x3fffffc0, 0x4000003f, 0xbfffffc0, 0x3effffc3},
       {0x40000000, 0x40000000, 0xc0000000, 0x40000006}},
      {{0x12345678, 0xfedcba98, 0x00000001, 0xffffffff},
       {0x2dcba9b8, 0xc1234558, 0xc0000041, 0xbffffd7f},
       {0x409e43f2, 0xbf721f7c, 0xc0800000, 0x40800015}},
      {{0x00ffffff, 0x89abcdef, 0x7f800000, 0x00000003},
       {0x4fde077f, 0x0f5b8f6f, 0xbf800040, 0x40000a03},
       {0x40de43f5, 0xc0836392, 0xbd3f4040, 0x40d5c02d}},
  };
  float acc[4] = {0.0f, 0.0f, 0.0f, 0.0f};
  for (size_t step = 0; step < std::size(steps); ++step) {
    uint32_t words[4];
    std::copy(std::begin(steps[step].in), std::end(steps[step].in), words);
    conceal_words(words, acc);
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(words[i], steps[step].out[i]) << "step " << step + 1 << " word " << i;
      EXPECT_EQ(std::bit_cast<uint32_t>(acc[i]), steps[step].acc_bits[i])
          << "step " << step + 1 << " accumulator " << i;
    }
  }
}

}  // namespace
}  // namespace crypto
