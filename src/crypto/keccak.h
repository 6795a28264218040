// Keccak-f[1600] and the Keccak sponge with the original 0x01 padding (not
// SHA-3's 0x06), as the CryptoNight family uses it. Pure; any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace crypto {

constexpr size_t kKeccakStateBytes = 200;

// Applies `rounds` rounds (1..24) of Keccak-f[1600] to the 25 lanes.
void keccakf(uint64_t state[25], int rounds);

// Absorbs `length` bytes at rate 136 (for out_length 200; otherwise
// 200 - 2 * out_length) and copies the first `out_length` state bytes to
// `out`. out_length is 200 or 1..64. No further squeezing.
void keccak(const uint8_t* input, size_t length, uint8_t* out, size_t out_length);

// The 200-byte state after absorbing `length` bytes at rate 136, as lanes.
void keccak1600(const uint8_t* input, size_t length, uint64_t state[25]);

}  // namespace crypto
