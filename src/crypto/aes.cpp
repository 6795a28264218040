#include "crypto/aes.h"

namespace crypto {

void aes_expand_key(const uint8_t key[32], uint32_t w[40]) {
  for (int i = 0; i < 8; ++i) {
    w[i] = static_cast<uint32_t>(key[4 * i]) | static_cast<uint32_t>(key[4 * i + 1]) << 8 |
           static_cast<uint32_t>(key[4 * i + 2]) << 16 |
           static_cast<uint32_t>(key[4 * i + 3]) << 24;
  }
  const auto sub_word = [](uint32_t x) {
    return static_cast<uint32_t>(kAesSbox[x & 0xFF]) |
           static_cast<uint32_t>(kAesSbox[(x >> 8) & 0xFF]) << 8 |
           static_cast<uint32_t>(kAesSbox[(x >> 16) & 0xFF]) << 16 |
           static_cast<uint32_t>(kAesSbox[x >> 24]) << 24;
  };
  uint32_t rcon = 0x01;
  for (int i = 8; i < 40; ++i) {
    uint32_t temp = w[i - 1];
    if (i % 8 == 0) {
      // RotWord moves byte 0 to the top: a right rotation of the LE word.
      temp = sub_word((temp >> 8) | (temp << 24)) ^ rcon;
      rcon <<= 1;
    } else if (i % 8 == 4) {
      temp = sub_word(temp);
    }
    w[i] = w[i - 8] ^ temp;
  }
}

void aes_round_reference(const uint8_t in[16], const uint8_t key[16], uint8_t out[16]) {
  uint8_t state[16];
  // SubBytes and ShiftRows: row r of column c comes from column c + r.
  for (int c = 0; c < 4; ++c) {
    for (int r = 0; r < 4; ++r) state[4 * c + r] = kAesSbox[in[(4 * (c + r) + r) % 16]];
  }
  // MixColumns and AddRoundKey.
  for (int c = 0; c < 4; ++c) {
    const uint8_t* s = state + 4 * c;
    for (int r = 0; r < 4; ++r) {
      const uint8_t mixed = aes_detail::gf_mul(s[r], 2) ^ aes_detail::gf_mul(s[(r + 1) % 4], 3) ^
                            s[(r + 2) % 4] ^ s[(r + 3) % 4];
      out[4 * c + r] = mixed ^ key[4 * c + r];
    }
  }
}

}  // namespace crypto
