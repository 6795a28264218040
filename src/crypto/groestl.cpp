#include "crypto/groestl.h"

#include <array>
#include <cstring>
#include <string>

#include "crypto/aes.h"

namespace crypto {
namespace {

// The state is an 8x8 byte matrix filled column by column: byte 8c + r is
// row r of column c.
using matrix = uint8_t[64];

constexpr int kRounds = 10;
constexpr int kShiftP[8] = {0, 1, 2, 3, 4, 5, 6, 7};
constexpr int kShiftQ[8] = {1, 3, 5, 7, 0, 2, 4, 6};
constexpr uint8_t kMix[8] = {2, 2, 3, 4, 5, 3, 5, 7};

// Products a * f in GF(2^8) for the factors f = 0..7 that MixBytes uses.
constexpr std::array<std::array<uint8_t, 256>, 8> make_products() {
  std::array<std::array<uint8_t, 256>, 8> table{};
  for (int f = 0; f < 8; ++f) {
    for (int a = 0; a < 256; ++a)
      table[f][a] = aes_detail::gf_mul(static_cast<uint8_t>(a), static_cast<uint8_t>(f));
  }
  return table;
}
constexpr auto kProducts = make_products();

void permute(uint8_t* x, bool is_q) {
  const int* shift = is_q ? kShiftQ : kShiftP;
  uint8_t t[64];
  for (int round = 0; round < kRounds; ++round) {
    // AddRoundConstant
    if (is_q) {
      for (int i = 0; i < 64; ++i) x[i] ^= 0xFF;
      for (int c = 0; c < 8; ++c) x[8 * c + 7] ^= static_cast<uint8_t>(c << 4 ^ round);
    } else {
      for (int c = 0; c < 8; ++c) x[8 * c] ^= static_cast<uint8_t>(c << 4 ^ round);
    }
    // SubBytes and ShiftBytes: row r moves left by shift[r] columns.
    for (int c = 0; c < 8; ++c) {
      for (int r = 0; r < 8; ++r) t[8 * c + r] = kAesSbox[x[8 * ((c + shift[r]) % 8) + r]];
    }
    // MixBytes: each column times the circulant matrix circ(2,2,3,4,5,3,5,7).
    for (int c = 0; c < 8; ++c) {
      const uint8_t* col = t + 8 * c;
      for (int r = 0; r < 8; ++r) {
        uint8_t sum = 0;
        for (int k = 0; k < 8; ++k) sum ^= kProducts[kMix[(k - r + 8) % 8]][col[k]];
        x[8 * c + r] = sum;
      }
    }
  }
}

// h = P(h ^ m) ^ Q(m) ^ h
void compress(uint8_t h[64], const uint8_t m[64]) {
  uint8_t p[64];
  uint8_t q[64];
  for (int i = 0; i < 64; ++i) p[i] = h[i] ^ m[i];
  std::memcpy(q, m, 64);
  permute(p, false);
  permute(q, true);
  for (int i = 0; i < 64; ++i) h[i] ^= p[i] ^ q[i];
}

}  // namespace

base::status groestl(const uint8_t* input, uint64_t bit_length, uint8_t* out) {
  if (bit_length % 8 != 0) {
    return base::status::error(base::status_code::kInvalidInput,
                               "Groestl input of " + std::to_string(bit_length) + " bits is not whole bytes");
  }
  const uint64_t length = bit_length / 8;
  uint8_t h[64] = {};
  h[62] = 0x01;  // output size 256, big-endian in the last bytes
  uint64_t done = 0;
  for (; length - done >= 64; done += 64) compress(h, input + done);

  // Padding: 0x80, zeros, then the 64-bit big-endian count of all blocks.
  const size_t rest = static_cast<size_t>(length - done);
  uint8_t block[128] = {};
  if (rest > 0) std::memcpy(block, input + done, rest);
  block[rest] = 0x80;
  const size_t pad_blocks = rest <= 55 ? 1 : 2;
  uint64_t total_blocks = done / 64 + pad_blocks;
  uint8_t* tail = block + 64 * pad_blocks;
  for (int i = 1; i <= 8; ++i, total_blocks >>= 8) tail[-i] = static_cast<uint8_t>(total_blocks);
  for (size_t b = 0; b < pad_blocks; ++b) compress(h, block + 64 * b);

  // Output transformation: P(h) ^ h, last 32 bytes.
  uint8_t p[64];
  std::memcpy(p, h, 64);
  permute(p, false);
  for (int i = 0; i < 32; ++i) out[i] = p[32 + i] ^ h[32 + i];
  return base::status::ok();
}

void groestl256(const uint8_t* input, size_t length, uint8_t* out) {
  // A byte length: nothing left that could fail.
  [[maybe_unused]] const base::status hashed = groestl(input, uint64_t{length} * 8, out);
}

}  // namespace crypto
