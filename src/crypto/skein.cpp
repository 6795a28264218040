#include "crypto/skein.h"

#include <cstring>
#include <string>

namespace crypto {
namespace {

constexpr uint64_t kKeyScheduleParity = 0x1BD11BDAA9FC1A22ULL;

// Threefish-512 rotation constants (version 1.3), by round mod 8.
constexpr int kRotation[8][4] = {{46, 36, 19, 37}, {33, 27, 14, 42}, {17, 49, 36, 39},
                                 {44, 9, 54, 56},  {39, 30, 34, 24}, {13, 50, 10, 17},
                                 {25, 29, 39, 43}, {8, 35, 56, 22}};
// Word permutation applied after every round.
constexpr int kPermutation[8] = {2, 1, 4, 7, 6, 5, 0, 3};

constexpr uint64_t kTypeConfig = 4;
constexpr uint64_t kTypeMessage = 48;
constexpr uint64_t kTypeOutput = 63;
constexpr uint64_t kFlagFirst = 1ULL << 62;
constexpr uint64_t kFlagFinal = 1ULL << 63;

inline uint64_t rotl64(uint64_t x, int n) { return (x << n) | (x >> (64 - n)); }

inline uint64_t load_le64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

// UBI step: chain = Threefish(key = chain, tweak, block) ^ block.
void ubi_block(uint64_t chain[8], const uint8_t block[64], uint64_t position, uint64_t tweak_high) {
  uint64_t key[9];
  key[8] = kKeyScheduleParity;
  for (int i = 0; i < 8; ++i) {
    key[i] = chain[i];
    key[8] ^= chain[i];
  }
  const uint64_t tweak[3] = {position, tweak_high, position ^ tweak_high};
  uint64_t message[8];
  for (int i = 0; i < 8; ++i) message[i] = load_le64(block + 8 * i);

  uint64_t x[8];
  for (int s = 0; s <= 18; ++s) {
    // Subkey s, added every fourth round (s = 0 before the first).
    uint64_t subkey[8];
    for (int i = 0; i < 8; ++i) subkey[i] = key[(s + i) % 9];
    subkey[5] += tweak[s % 3];
    subkey[6] += tweak[(s + 1) % 3];
    subkey[7] += static_cast<uint64_t>(s);
    for (int i = 0; i < 8; ++i) x[i] = (s == 0 ? message[i] : x[i]) + subkey[i];
    if (s == 18) break;
    for (int r = 0; r < 4; ++r) {
      const int* rot = kRotation[(4 * s + r) % 8];
      for (int k = 0; k < 4; ++k) {
        x[2 * k] += x[2 * k + 1];
        x[2 * k + 1] = rotl64(x[2 * k + 1], rot[k]) ^ x[2 * k];
      }
      uint64_t permuted[8];
      for (int i = 0; i < 8; ++i) permuted[i] = x[kPermutation[i]];
      std::memcpy(x, permuted, sizeof(x));
    }
  }
  for (int i = 0; i < 8; ++i) chain[i] = x[i] ^ message[i];
}

}  // namespace

base::status skein_hash(int hash_bit_length, const uint8_t* input, uint64_t bit_length, uint8_t* out) {
  if (hash_bit_length <= 0 || hash_bit_length > 512 || hash_bit_length % 8 != 0) {
    return base::status::error(base::status_code::kInvalidInput,
                               "Skein digest size " + std::to_string(hash_bit_length) +
                                   " is not a multiple of 8 from 8 to 512 bits");
  }
  if (bit_length % 8 != 0) {
    return base::status::error(base::status_code::kInvalidInput,
                               "Skein input of " + std::to_string(bit_length) + " bits is not whole bytes");
  }

  // Chaining value from the configuration block ("SHA3", version 1,
  // output bits, no tree) under an all-zero key.
  uint64_t chain[8] = {};
  uint8_t block[64] = {};
  const uint64_t config[2] = {0x0000000133414853ULL, static_cast<uint64_t>(hash_bit_length)};
  for (int w = 0; w < 2; ++w) {
    for (int i = 0; i < 8; ++i) block[8 * w + i] = static_cast<uint8_t>(config[w] >> (8 * i));
  }
  ubi_block(chain, block, 32, kTypeConfig << 56 | kFlagFirst | kFlagFinal);

  // Message: every block but the last as is; the last (possibly empty or
  // partial, zero-filled) block carries the final flag.
  const uint64_t length = bit_length / 8;
  uint64_t done = 0;
  uint64_t first = kFlagFirst;
  for (; length - done > 64; done += 64, first = 0) {
    ubi_block(chain, input + done, done + 64, kTypeMessage << 56 | first);
  }
  std::memset(block, 0, sizeof(block));
  if (length > done) std::memcpy(block, input + done, static_cast<size_t>(length - done));
  ubi_block(chain, block, length, kTypeMessage << 56 | first | kFlagFinal);

  // Output: counter 0 as an 8-byte block.
  std::memset(block, 0, sizeof(block));
  ubi_block(chain, block, 8, kTypeOutput << 56 | kFlagFirst | kFlagFinal);
  for (int i = 0; i < hash_bit_length / 8; ++i)
    out[i] = static_cast<uint8_t>(chain[i / 8] >> (8 * (i % 8)));
  return base::status::ok();
}

void skein512_256(const uint8_t* input, size_t length, uint8_t* out) {
  // A byte length and the 256-bit size: nothing left that could fail.
  [[maybe_unused]] const base::status hashed = skein_hash(256, input, uint64_t{length} * 8, out);
}

}  // namespace crypto
