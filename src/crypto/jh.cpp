#include "crypto/jh.h"

#include <cstring>
#include <string>

namespace crypto {
namespace {

// The state is kept as 256 4-bit elements during E8 (the grouped form of
// the JH description); 42 rounds of S-boxes, the MDS layer L and the
// permutation P8, with round constants made by the 6-bit version R6.

constexpr uint8_t kSbox[2][16] = {{9, 0, 4, 11, 13, 12, 3, 15, 1, 10, 2, 6, 7, 5, 8, 14},
                                  {3, 12, 6, 13, 5, 7, 1, 9, 15, 2, 0, 4, 11, 10, 14, 8}};

// Round constant of round 0: the fractional part of sqrt(2), 64 nibbles.
constexpr uint8_t kRoundConstantZero[64] = {
    0x6, 0xa, 0x0, 0x9, 0xe, 0x6, 0x6, 0x7, 0xf, 0x3, 0xb, 0xc, 0xc, 0x9, 0x0, 0x8,
    0xb, 0x2, 0xf, 0xb, 0x1, 0x3, 0x6, 0x6, 0xe, 0xa, 0x9, 0x5, 0x7, 0xd, 0x3, 0xe,
    0x3, 0xa, 0xd, 0xe, 0xc, 0x1, 0x7, 0x5, 0x1, 0x2, 0x7, 0x7, 0x5, 0x0, 0x9, 0x9,
    0xd, 0xa, 0x2, 0xf, 0x5, 0x9, 0x0, 0xb, 0x0, 0x6, 0x6, 0x7, 0x3, 0x2, 0x2, 0xa};

constexpr int kRounds = 42;

// MDS layer on two nibbles: b ^= 2a, then a ^= 2b, over GF(2^4) mod x^4+x+1.
inline void mds(uint8_t& a, uint8_t& b) {
  b ^= ((a << 1) ^ (a >> 3) ^ ((a >> 2) & 2)) & 0xF;
  a ^= ((b << 1) ^ (b >> 3) ^ ((b >> 2) & 2)) & 0xF;
}

// Permutation P_d on 2^d nibbles: swap within pairs of pairs, split even
// and odd halves, then swap pairs in the upper half.
template <int N>
void permute_layer(uint8_t* tem, uint8_t* out) {
  for (int i = 0; i < N; i += 4) {
    const uint8_t t = tem[i + 2];
    tem[i + 2] = tem[i + 3];
    tem[i + 3] = t;
  }
  for (int i = 0; i < N / 2; ++i) {
    out[i] = tem[2 * i];
    out[i + N / 2] = tem[2 * i + 1];
  }
  for (int i = N / 2; i < N; i += 2) {
    const uint8_t t = out[i];
    out[i] = out[i + 1];
    out[i + 1] = t;
  }
}

// One round R8: each constant bit selects S0 or S1 for one nibble.
void round8(uint8_t a[256], const uint8_t constant[64]) {
  uint8_t tem[256];
  for (int i = 0; i < 256; ++i) {
    const int bit = (constant[i >> 2] >> (3 - (i & 3))) & 1;
    tem[i] = kSbox[bit][a[i]];
  }
  for (int i = 0; i < 256; i += 2) mds(tem[i], tem[i + 1]);
  permute_layer<256>(tem, a);
}

// Next round constant: R6 with all-zero constants (always S0).
void next_constant(uint8_t constant[64]) {
  uint8_t tem[64];
  for (int i = 0; i < 64; ++i) tem[i] = kSbox[0][constant[i]];
  for (int i = 0; i < 64; i += 2) mds(tem[i], tem[i + 1]);
  permute_layer<64>(tem, constant);
}

inline int bit_at(const uint8_t* h, int i) { return (h[i >> 3] >> (7 - (i & 7))) & 1; }

// E8: group the 1024 bits into nibbles (bits i, i+256, i+512, i+768 form
// element i, even/odd interleaved), 42 rounds, then degroup.
void e8(uint8_t h[128]) {
  uint8_t tem[256];
  for (int i = 0; i < 256; ++i) {
    tem[i] = static_cast<uint8_t>(bit_at(h, i) << 3 | bit_at(h, i + 256) << 2 |
                                  bit_at(h, i + 512) << 1 | bit_at(h, i + 768));
  }
  uint8_t a[256];
  for (int i = 0; i < 128; ++i) {
    a[2 * i] = tem[i];
    a[2 * i + 1] = tem[i + 128];
  }
  uint8_t constant[64];
  std::memcpy(constant, kRoundConstantZero, sizeof(constant));
  for (int round = 0; round < kRounds; ++round) {
    round8(a, constant);
    next_constant(constant);
  }
  for (int i = 0; i < 128; ++i) {
    tem[i] = a[2 * i];
    tem[i + 128] = a[2 * i + 1];
  }
  std::memset(h, 0, 128);
  for (int i = 0; i < 256; ++i) {
    const int shift = 7 - (i & 7);
    h[i >> 3] |= static_cast<uint8_t>(((tem[i] >> 3) & 1) << shift);
    h[(i + 256) >> 3] |= static_cast<uint8_t>(((tem[i] >> 2) & 1) << shift);
    h[(i + 512) >> 3] |= static_cast<uint8_t>(((tem[i] >> 1) & 1) << shift);
    h[(i + 768) >> 3] |= static_cast<uint8_t>((tem[i] & 1) << shift);
  }
}

// F8: message into the first half, E8, message into the second half.
void compress(uint8_t h[128], const uint8_t block[64]) {
  for (int i = 0; i < 64; ++i) h[i] ^= block[i];
  e8(h);
  for (int i = 0; i < 64; ++i) h[64 + i] ^= block[i];
}

}  // namespace

base::status jh_hash(int hash_bit_length, const uint8_t* input, uint64_t bit_length, uint8_t* out) {
  if (hash_bit_length != 224 && hash_bit_length != 256 && hash_bit_length != 384 &&
      hash_bit_length != 512) {
    return base::status::error(base::status_code::kInvalidInput,
                               "JH digest size " + std::to_string(hash_bit_length) +
                                   " is not 224, 256, 384 or 512 bits");
  }
  if (bit_length % 8 != 0) {
    return base::status::error(base::status_code::kInvalidInput,
                               "JH input of " + std::to_string(bit_length) + " bits is not whole bytes");
  }

  // H0 = F8(digest size as a 16-bit big-endian prefix, zero block).
  uint8_t h[128] = {};
  h[0] = static_cast<uint8_t>(hash_bit_length >> 8);
  h[1] = static_cast<uint8_t>(hash_bit_length);
  const uint8_t zero_block[64] = {};
  compress(h, zero_block);

  const uint64_t length = bit_length / 8;
  uint64_t done = 0;
  for (; length - done >= 64; done += 64) compress(h, input + done);

  // Padding: a 1 bit, zeros, the 128-bit big-endian bit length; at least
  // one whole padding block, so two blocks when a partial block remains.
  const size_t rest = static_cast<size_t>(length - done);
  uint8_t block[128] = {};
  if (rest > 0) std::memcpy(block, input + done, rest);
  block[rest] = 0x80;
  const size_t pad_blocks = rest == 0 ? 1 : 2;
  uint8_t* tail = block + 64 * pad_blocks;
  uint64_t bits = bit_length;
  for (int i = 1; i <= 8; ++i, bits >>= 8) tail[-i] = static_cast<uint8_t>(bits);
  for (size_t b = 0; b < pad_blocks; ++b) compress(h, block + 64 * b);

  const int out_bytes = hash_bit_length / 8;
  std::memcpy(out, h + 128 - out_bytes, out_bytes);
  return base::status::ok();
}

void jh256(const uint8_t* input, size_t length, uint8_t* out) {
  // A byte length and the 256-bit size: nothing left that could fail.
  [[maybe_unused]] const base::status hashed = jh_hash(256, input, uint64_t{length} * 8, out);
}

}  // namespace crypto
