#include "crypto/keccak.h"

#include <cassert>
#include <cstring>

namespace crypto {
namespace {

constexpr uint64_t kRoundConstants[24] = {
    0x0000000000000001ULL, 0x0000000000008082ULL, 0x800000000000808aULL, 0x8000000080008000ULL,
    0x000000000000808bULL, 0x0000000080000001ULL, 0x8000000080008081ULL, 0x8000000000008009ULL,
    0x000000000000008aULL, 0x0000000000000088ULL, 0x0000000080008009ULL, 0x000000008000000aULL,
    0x000000008000808bULL, 0x800000000000008bULL, 0x8000000000008089ULL, 0x8000000000008003ULL,
    0x8000000000008002ULL, 0x8000000000000080ULL, 0x000000000000800aULL, 0x800000008000000aULL,
    0x8000000080008081ULL, 0x8000000000008080ULL, 0x0000000080000001ULL, 0x8000000080008008ULL};

// Rho offsets and pi destinations, in the order the lanes are visited.
constexpr int kRho[24] = {1,  3,  6,  10, 15, 21, 28, 36, 45, 55, 2,  14,
                          27, 41, 56, 8,  25, 43, 62, 18, 39, 61, 20, 44};
constexpr int kPi[24] = {10, 7,  11, 17, 18, 3, 5,  16, 8,  21, 24, 4,
                         15, 23, 19, 13, 12, 2, 20, 14, 22, 9,  6,  1};

inline uint64_t rotl64(uint64_t x, int n) { return (x << n) | (x >> (64 - n)); }

inline uint64_t load_le64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

constexpr size_t kRate = 136;

void absorb(const uint8_t* input, size_t length, size_t rate, uint64_t state[25]) {
  std::memset(state, 0, 25 * sizeof(uint64_t));
  const size_t lanes = rate / 8;
  for (; length >= rate; length -= rate, input += rate) {
    for (size_t i = 0; i < lanes; ++i) state[i] ^= load_le64(input + 8 * i);
    keccakf(state, 24);
  }
  // Last block: the remaining bytes, 0x01, zeros, and 0x80 ORed into the
  // last byte of the rate (both land in one byte when 1 byte is free).
  uint8_t block[200] = {};
  if (length > 0) std::memcpy(block, input, length);
  block[length] = 0x01;
  block[rate - 1] |= 0x80;
  for (size_t i = 0; i < lanes; ++i) state[i] ^= load_le64(block + 8 * i);
  keccakf(state, 24);
}

}  // namespace

void keccakf(uint64_t st[25], int rounds) {
  uint64_t bc[5];
  for (int round = 0; round < rounds; ++round) {
    // Theta
    for (int i = 0; i < 5; ++i) bc[i] = st[i] ^ st[i + 5] ^ st[i + 10] ^ st[i + 15] ^ st[i + 20];
    for (int i = 0; i < 5; ++i) {
      const uint64_t t = bc[(i + 4) % 5] ^ rotl64(bc[(i + 1) % 5], 1);
      for (int j = 0; j < 25; j += 5) st[j + i] ^= t;
    }
    // Rho and pi
    uint64_t t = st[1];
    for (int i = 0; i < 24; ++i) {
      const int j = kPi[i];
      const uint64_t next = st[j];
      st[j] = rotl64(t, kRho[i]);
      t = next;
    }
    // Chi
    for (int j = 0; j < 25; j += 5) {
      for (int i = 0; i < 5; ++i) bc[i] = st[j + i];
      for (int i = 0; i < 5; ++i) st[j + i] ^= (~bc[(i + 1) % 5]) & bc[(i + 2) % 5];
    }
    // Iota
    st[0] ^= kRoundConstants[round];
  }
}

void keccak1600(const uint8_t* input, size_t length, uint64_t state[25]) {
  absorb(input, length, kRate, state);
}

void keccak(const uint8_t* input, size_t length, uint8_t* out, size_t out_length) {
  assert(out_length == kKeccakStateBytes || (out_length >= 1 && out_length <= 64));
  const size_t rate = out_length == kKeccakStateBytes ? kRate : kKeccakStateBytes - 2 * out_length;
  uint64_t state[25];
  absorb(input, length, rate, state);
  for (size_t i = 0; i < out_length; ++i)
    out[i] = static_cast<uint8_t>(state[i / 8] >> (8 * (i % 8)));
}

}  // namespace crypto
