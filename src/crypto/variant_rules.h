// Single steps of the CryptoNight variant rules, shared by the CPU hash and
// usable as references for the GPU kernels and tests. Pure; any thread.
#pragma once

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace crypto {

// V7 tweak on byte 11 of the stored line (`shift` 2, or 3 for XTL): only
// bits 4 and 5 change, chosen by bits (shift+3, shift+2, 0) of the byte.
constexpr uint8_t v7_tweak_byte11(uint8_t x, int shift) {
  const int n = ((x >> shift) & 0x0C) | ((x & 1) << 1);
  return static_cast<uint8_t>(x ^ (((0x7531 >> n) & 3) << 4));
}

// The tweak value t: state lane 24 XOR blob bytes 35..42 (little-endian).
// The blob must hold at least 43 bytes.
inline uint64_t v7_tweak_value(uint64_t state_lane24, const uint8_t* blob) {
  uint64_t v = 0;
  for (int i = 42; i >= 35; --i) v = v << 8 | blob[i];
  return state_lane24 ^ v;
}

// Quotient of the heavy division step: n / (d | 5), truncating toward
// zero, with d sign-extended first. n = -2^63 over divisor -1 has no
// representable quotient; it wraps to -2^63 (computed as 0 - n unsigned).
constexpr int64_t heavy_quotient(int64_t n, int32_t d) {
  const int64_t divisor = static_cast<int64_t>(d) | 5;
  if (divisor == -1) return static_cast<int64_t>(0 - static_cast<uint64_t>(n));
  return n / divisor;
}

// Next line index of the heavy division step: d XOR q, or (NOT d) XOR q
// for XHV, with d sign-extended. Only the bits under the mask matter.
constexpr uint64_t heavy_next_index(int32_t d, int64_t q, bool invert_d) {
  const int32_t source = invert_d ? ~d : d;
  return static_cast<uint64_t>(static_cast<int64_t>(source) ^ q);
}

// The V8 divisor: low 32 bits of (c0 + 2 * sqrt_result) with the top and
// bottom bits set; a carry out of bit 31 is dropped.
constexpr uint32_t v8_divisor(uint64_t c0, uint64_t sqrt_result) {
  return (static_cast<uint32_t>(c0) + static_cast<uint32_t>(sqrt_result << 1)) | 0x80000001U;
}

// V8 division result: 32-bit quotient in the low half, remainder above.
constexpr uint64_t v8_division(uint64_t dividend, uint32_t divisor) {
  const uint64_t quotient = dividend / divisor;
  const uint64_t remainder = dividend % divisor;
  return static_cast<uint32_t>(quotient) + (remainder << 32);
}

// V8 square root before its fix-up: 2^33 * (sqrt(1 + input/2^64) - 1)
// through the correctly rounded double square root of a number in [1, 2).
inline uint64_t v8_sqrt_estimate(uint64_t sqrt_input) {
  const double z = std::bit_cast<double>((sqrt_input >> 12) + 0x3FF0000000000000ULL);
  const uint64_t w = std::bit_cast<uint64_t>(std::sqrt(z));
  return (w - 0x3FF0000000000000ULL) >> 19;
}

// Corrects the estimate r by -1 and/or +1 so that it is the exact integer
// result; every sum is modulo 2^64 and compared unsigned.
constexpr uint64_t v8_sqrt_fixup(uint64_t r, uint64_t sqrt_input) {
  const uint64_t h = r >> 1;
  const uint64_t e = r & 1;
  const uint64_t r2 = h * (h + e) + (r << 32);
  uint64_t result = r;
  if (r2 + e > sqrt_input) result -= 1;
  if (r2 + (1ULL << 32) < sqrt_input - h) result += 1;
  return result;
}

inline uint64_t v8_sqrt(uint64_t sqrt_input) {
  return v8_sqrt_fixup(v8_sqrt_estimate(sqrt_input), sqrt_input);
}

// The V8 shuffle on the scratchpad: the three other lines of the 64-byte
// block of `offset` (at offset ^ 0x10, ^ 0x20, ^ 0x30; the anchor line is
// not touched) are replaced. Normal: the old lines rotate (0x10 -> 0x20 ->
// 0x30 -> 0x10). Reversed: the 0x10 line stays and the 0x20 and 0x30 lines
// trade places. Either way 0x10 gets + bb, 0x20 + b and 0x30 + a, lane by
// lane modulo 2^64. Lines are two little-endian 64-bit lanes, read and
// written through memcpy. (Written out on the lanes: with the lines in
// arrays the compiler keeps them in memory, a fifth of the CPU loop's rate.)
template <bool Reverse>
inline void v8_shuffle_block(uint8_t* pad, uint64_t offset, const uint64_t bb[2],
                             const uint64_t b[2], const uint64_t a[2]) {
  const auto load = [](const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof(v));
    return v;
  };
  const auto store = [](uint8_t* p, uint64_t v) { std::memcpy(p, &v, sizeof(v)); };
  uint8_t* p1 = pad + (offset ^ 0x10);
  uint8_t* p2 = pad + (offset ^ 0x20);
  uint8_t* p3 = pad + (offset ^ 0x30);
  const uint64_t c1[2] = {load(p1), load(p1 + 8)};
  const uint64_t c2[2] = {load(p2), load(p2 + 8)};
  const uint64_t c3[2] = {load(p3), load(p3 + 8)};
  const uint64_t* to_10 = Reverse ? c1 : c3;
  const uint64_t* to_20 = Reverse ? c3 : c1;
  store(p1, to_10[0] + bb[0]);
  store(p1 + 8, to_10[1] + bb[1]);
  store(p2, to_20[0] + b[0]);
  store(p2 + 8, to_20[1] + b[1]);
  store(p3, c2[0] + a[0]);
  store(p3 + 8, c2[1] + a[1]);
}

// The conceal step needs true binary32 arithmetic (no x87 excess
// precision), rounded to nearest even (the thread's default mode, which
// nothing in this program changes) and never contracted into a fused
// multiply-add: the crypto library and its tests build with
// -ffp-contract=off.
static_assert(FLT_EVAL_METHOD == 0, "float arithmetic must be evaluated in binary32");

// The conceal step on the four little-endian 32-bit words of the line read
// for the AES round, with the hash's accumulator of four floats (zero at
// the start of the hash). Each word on its own: its signed value plus the
// accumulator, cubed, forced to magnitude [2, 4) keeping sign and mantissa,
// is added to the accumulator; the word is XORed with the old accumulator,
// forced the same way, times 2^29 - 32. That product is a whole number of
// magnitude below 2^31, so the conversion to int32 is exact.
inline void conceal_words(uint32_t words[4], float acc[4]) {
  constexpr uint32_t kKeepSignAndMantissa = 0x807FFFFF;
  constexpr uint32_t kExponentOne = 0x40000000;  // biased exponent 128: [2, 4)
  for (int i = 0; i < 4; ++i) {
    float r = static_cast<float>(static_cast<int32_t>(words[i])) + acc[i];
    r = r * (r * r);
    r = std::bit_cast<float>((std::bit_cast<uint32_t>(r) & kKeepSignAndMantissa) | kExponentOne);
    const float g =
        std::bit_cast<float>((std::bit_cast<uint32_t>(acc[i]) & kKeepSignAndMantissa) | kExponentOne);
    acc[i] = acc[i] + r;
    const float t = g * 536870880.0f;  // bits 0x4DFFFFFF
    words[i] ^= static_cast<uint32_t>(static_cast<int32_t>(t));
  }
}

}  // namespace crypto
