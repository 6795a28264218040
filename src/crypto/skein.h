// Skein-512 version 1.3 (Threefish-512, 72 rounds), plain hashing with no
// key and no tree. One-shot; pure, any thread.
#pragma once

#include <cstdint>

namespace crypto {

constexpr int kSkeinSuccess = 0;
constexpr int kSkeinFail = 1;
constexpr int kSkeinBadHashLength = 2;

// Writes the `hash_bit_length`-bit digest (8..512, a multiple of 8) of
// `bit_length` bits of `input` to `out` using the 512-bit state. Returns
// kSkeinSuccess, kSkeinBadHashLength for an unsupported digest size, or
// kSkeinFail when bit_length is not a whole number of bytes.
int skein_hash(int hash_bit_length, const uint8_t* input, uint64_t bit_length, uint8_t* out);

}  // namespace crypto
