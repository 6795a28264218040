// Table-driven AES for the CryptoNight family (no processor AES
// instructions): S-box, four round tables, the AES-256 key schedule cut to
// ten round keys, single full rounds. Constant data, pure; any thread.
#pragma once

#include <array>
#include <cstdint>

namespace crypto {
namespace aes_detail {

constexpr uint8_t gf_mul2(uint8_t a) {
  return static_cast<uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1B : 0));
}

constexpr uint8_t gf_mul(uint8_t a, uint8_t b) {
  uint8_t product = 0;
  for (int bit = 0; bit < 8; ++bit) {
    if (b & 1) product ^= a;
    a = gf_mul2(a);
    b >>= 1;
  }
  return product;
}

constexpr uint8_t rotl8(uint8_t x, int n) {
  return static_cast<uint8_t>((x << n) | (x >> (8 - n)));
}

// S(a) = affine(a^-1), with 0^-1 = 0 (FIPS-197 5.1.1). Inverses come from
// the powers of the generator 3: (3^k)^-1 = 3^(255-k).
constexpr std::array<uint8_t, 256> make_sbox() {
  std::array<uint8_t, 256> power{};
  std::array<uint8_t, 256> log{};
  uint8_t x = 1;
  for (int k = 0; k < 255; ++k) {
    power[k] = x;
    log[x] = static_cast<uint8_t>(k);
    x = gf_mul(x, 3);
  }
  std::array<uint8_t, 256> box{};
  for (int a = 0; a < 256; ++a) {
    const uint8_t inverse = a == 0 ? 0 : power[(255 - log[a]) % 255];
    box[a] = static_cast<uint8_t>(inverse ^ rotl8(inverse, 1) ^ rotl8(inverse, 2) ^
                                  rotl8(inverse, 3) ^ rotl8(inverse, 4) ^ 0x63);
  }
  return box;
}

inline constexpr std::array<uint8_t, 256> kSbox = make_sbox();

constexpr uint32_t rotl32(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

// Table `t`: T0[a] = bytes (2S, S, S, 3S) little-endian, Tt = T0 rotated
// left by 8t bits.
constexpr std::array<uint32_t, 256> make_table(int t) {
  std::array<uint32_t, 256> table{};
  for (int a = 0; a < 256; ++a) {
    const uint8_t s = kSbox[a];
    const uint32_t word = static_cast<uint32_t>(gf_mul2(s)) | static_cast<uint32_t>(s) << 8 |
                          static_cast<uint32_t>(s) << 16 |
                          static_cast<uint32_t>(gf_mul(s, 3)) << 24;
    table[a] = t == 0 ? word : rotl32(word, 8 * t);
  }
  return table;
}

}  // namespace aes_detail

inline constexpr const std::array<uint8_t, 256>& kAesSbox = aes_detail::kSbox;
alignas(64) inline constexpr std::array<std::array<uint32_t, 256>, 4> kAesTables = {
    aes_detail::make_table(0), aes_detail::make_table(1), aes_detail::make_table(2),
    aes_detail::make_table(3)};

// Ten round keys k0..k9 of the AES-256 schedule of `key`, as 40 little-endian
// words (key k = words 4k..4k+3).
void aes_expand_key(const uint8_t key[32], uint32_t round_keys[40]);

// One AES encryption round on the block of four little-endian column words.
// out may alias in.
inline void aes_round(const uint32_t in[4], const uint32_t key[4], uint32_t out[4]) {
  const auto& t = kAesTables;
  const uint32_t x0 = in[0], x1 = in[1], x2 = in[2], x3 = in[3];
  out[0] =
      t[0][x0 & 0xFF] ^ t[1][(x1 >> 8) & 0xFF] ^ t[2][(x2 >> 16) & 0xFF] ^ t[3][x3 >> 24] ^ key[0];
  out[1] =
      t[0][x1 & 0xFF] ^ t[1][(x2 >> 8) & 0xFF] ^ t[2][(x3 >> 16) & 0xFF] ^ t[3][x0 >> 24] ^ key[1];
  out[2] =
      t[0][x2 & 0xFF] ^ t[1][(x3 >> 8) & 0xFF] ^ t[2][(x0 >> 16) & 0xFF] ^ t[3][x1 >> 24] ^ key[2];
  out[3] =
      t[0][x3 & 0xFF] ^ t[1][(x0 >> 8) & 0xFF] ^ t[2][(x1 >> 16) & 0xFF] ^ t[3][x2 >> 24] ^ key[3];
}

// The same round on a block held as two little-endian 64-bit lanes, with
// the key as two lanes: the form the hash loops keep in registers.
__attribute__((always_inline)) inline void aes_round_lanes(uint64_t& lo, uint64_t& hi,
                                                           uint64_t key_lo, uint64_t key_hi) {
  const auto& t = kAesTables;
  const uint32_t x0 = static_cast<uint32_t>(lo), x1 = static_cast<uint32_t>(lo >> 32);
  const uint32_t x2 = static_cast<uint32_t>(hi), x3 = static_cast<uint32_t>(hi >> 32);
  const uint32_t y0 =
      t[0][x0 & 0xFF] ^ t[1][(x1 >> 8) & 0xFF] ^ t[2][(x2 >> 16) & 0xFF] ^ t[3][x3 >> 24];
  const uint32_t y1 =
      t[0][x1 & 0xFF] ^ t[1][(x2 >> 8) & 0xFF] ^ t[2][(x3 >> 16) & 0xFF] ^ t[3][x0 >> 24];
  const uint32_t y2 =
      t[0][x2 & 0xFF] ^ t[1][(x3 >> 8) & 0xFF] ^ t[2][(x0 >> 16) & 0xFF] ^ t[3][x1 >> 24];
  const uint32_t y3 =
      t[0][x3 & 0xFF] ^ t[1][(x0 >> 8) & 0xFF] ^ t[2][(x1 >> 16) & 0xFF] ^ t[3][x2 >> 24];
  lo = (static_cast<uint64_t>(y1) << 32 | y0) ^ key_lo;
  hi = (static_cast<uint64_t>(y3) << 32 | y2) ^ key_hi;
}

// The inverted-input round of CryptoNightTUBE-Heavy: the block is inverted,
// and each column XORed back into the inverted block before the next
// column reads it. out may alias in.
inline void aes_round_inverted_input(const uint32_t in[4], const uint32_t key[4], uint32_t out[4]) {
  const auto& t = kAesTables;
  uint32_t y0 = ~in[0], y1 = ~in[1], y2 = ~in[2];
  const uint32_t y3 = ~in[3];
  const uint32_t out0 =
      t[0][y0 & 0xFF] ^ t[1][(y1 >> 8) & 0xFF] ^ t[2][(y2 >> 16) & 0xFF] ^ t[3][y3 >> 24] ^ key[0];
  y0 ^= out0;
  const uint32_t out1 =
      t[0][y1 & 0xFF] ^ t[1][(y2 >> 8) & 0xFF] ^ t[2][(y3 >> 16) & 0xFF] ^ t[3][y0 >> 24] ^ key[1];
  y1 ^= out1;
  const uint32_t out2 =
      t[0][y2 & 0xFF] ^ t[1][(y3 >> 8) & 0xFF] ^ t[2][(y0 >> 16) & 0xFF] ^ t[3][y1 >> 24] ^ key[2];
  y2 ^= out2;
  const uint32_t out3 =
      t[0][y3 & 0xFF] ^ t[1][(y0 >> 8) & 0xFF] ^ t[2][(y1 >> 16) & 0xFF] ^ t[3][y2 >> 24] ^ key[3];
  out[0] = out0;
  out[1] = out1;
  out[2] = out2;
  out[3] = out3;
}

// Byte-level reference round straight from FIPS-197 (SubBytes, ShiftRows,
// MixColumns, AddRoundKey); slow, for checking the table form.
void aes_round_reference(const uint8_t in[16], const uint8_t key[16], uint8_t out[16]);

}  // namespace crypto
