#include "crypto/blake256.h"

#include <cstring>

namespace crypto {
namespace {

constexpr uint8_t kSigma[10][16] = {{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
                                    {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3},
                                    {11, 8, 12, 0, 5, 2, 15, 13, 10, 14, 3, 6, 7, 1, 9, 4},
                                    {7, 9, 3, 1, 13, 12, 11, 14, 2, 6, 5, 10, 4, 0, 15, 8},
                                    {9, 0, 5, 7, 2, 4, 10, 15, 14, 1, 11, 12, 6, 8, 3, 13},
                                    {2, 12, 6, 10, 0, 11, 8, 3, 4, 13, 7, 5, 15, 14, 1, 9},
                                    {12, 5, 1, 15, 14, 13, 4, 10, 0, 7, 6, 3, 9, 2, 8, 11},
                                    {13, 11, 7, 14, 12, 1, 3, 9, 5, 0, 15, 4, 8, 6, 2, 10},
                                    {6, 15, 14, 9, 11, 3, 0, 8, 12, 2, 13, 7, 1, 4, 10, 5},
                                    {10, 2, 8, 4, 7, 6, 1, 5, 15, 11, 9, 14, 3, 12, 13, 0}};

// The first digits of pi.
constexpr uint32_t kConstants[16] = {
    0x243F6A88, 0x85A308D3, 0x13198A2E, 0x03707344, 0xA4093822, 0x299F31D0, 0x082EFA98, 0xEC4E6C89,
    0x452821E6, 0x38D01377, 0xBE5466CF, 0x34E90C6C, 0xC0AC29B7, 0xC97C50DD, 0x3F84D5B5, 0xB5470917};

constexpr uint32_t kInitialValue[8] = {0x6A09E667, 0xBB67AE85, 0x3C6EF372, 0xA54FF53A,
                                       0x510E527F, 0x9B05688C, 0x1F83D9AB, 0x5BE0CD19};

constexpr int kRounds = 14;

inline uint32_t rotr32(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

inline uint32_t load_be32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

inline void store_be32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

// `counter` is the number of message bits up to the end of this block, or 0
// for a block holding only padding.
void compress(uint32_t h[8], const uint8_t block[64], uint64_t counter) {
  uint32_t m[16];
  for (int i = 0; i < 16; ++i) m[i] = load_be32(block + 4 * i);
  uint32_t v[16];
  for (int i = 0; i < 8; ++i) v[i] = h[i];
  for (int i = 0; i < 4; ++i) v[8 + i] = kConstants[i];  // salt is zero
  const uint32_t t0 = static_cast<uint32_t>(counter);
  const uint32_t t1 = static_cast<uint32_t>(counter >> 32);
  v[12] = t0 ^ kConstants[4];
  v[13] = t0 ^ kConstants[5];
  v[14] = t1 ^ kConstants[6];
  v[15] = t1 ^ kConstants[7];

  const auto g = [&](const uint8_t* s, int a, int b, int c, int d, int i) {
    v[a] += v[b] + (m[s[2 * i]] ^ kConstants[s[2 * i + 1]]);
    v[d] = rotr32(v[d] ^ v[a], 16);
    v[c] += v[d];
    v[b] = rotr32(v[b] ^ v[c], 12);
    v[a] += v[b] + (m[s[2 * i + 1]] ^ kConstants[s[2 * i]]);
    v[d] = rotr32(v[d] ^ v[a], 8);
    v[c] += v[d];
    v[b] = rotr32(v[b] ^ v[c], 7);
  };
  for (int round = 0; round < kRounds; ++round) {
    const uint8_t* s = kSigma[round % 10];
    // Columns, then diagonals.
    g(s, 0, 4, 8, 12, 0);
    g(s, 1, 5, 9, 13, 1);
    g(s, 2, 6, 10, 14, 2);
    g(s, 3, 7, 11, 15, 3);
    g(s, 0, 5, 10, 15, 4);
    g(s, 1, 6, 11, 12, 5);
    g(s, 2, 7, 8, 13, 6);
    g(s, 3, 4, 9, 14, 7);
  }
  for (int i = 0; i < 8; ++i) h[i] ^= v[i] ^ v[i + 8];
}

}  // namespace

void blake256(const uint8_t* input, size_t length, uint8_t* out) {
  uint32_t h[8];
  std::memcpy(h, kInitialValue, sizeof(h));
  const uint64_t bit_length = length * 8;
  uint64_t done = 0;
  for (; length - done >= 64; done += 64) compress(h, input + done, (done + 64) * 8);

  // Padding: 1 bit, zeros, 1 bit, 64-bit big-endian bit length; the last
  // block counts the message bits only if it holds any.
  const size_t rest = static_cast<size_t>(length - done);
  uint8_t block[128] = {};
  if (rest > 0) std::memcpy(block, input + done, rest);
  block[rest] = 0x80;
  const size_t blocks = rest <= 55 ? 1 : 2;
  uint8_t* tail = block + 64 * (blocks - 1);
  tail[55] |= 0x01;
  store_be32(tail + 56, static_cast<uint32_t>(bit_length >> 32));
  store_be32(tail + 60, static_cast<uint32_t>(bit_length));
  if (blocks == 1) {
    compress(h, block, rest > 0 ? bit_length : 0);
  } else {
    compress(h, block, bit_length);
    compress(h, block + 64, 0);
  }
  for (int i = 0; i < 8; ++i) store_be32(out + 4 * i, h[i]);
}

}  // namespace crypto
