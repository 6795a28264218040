// JH as finally submitted (42-round E8 on a 1024-bit state). One-shot;
// pure, any thread.
#pragma once

#include <cstdint>

namespace crypto {

constexpr int kJhSuccess = 0;
constexpr int kJhFail = 1;
constexpr int kJhBadHashLength = 2;

// Writes the `hash_bit_length`-bit digest (224, 256, 384 or 512) of
// `bit_length` bits of `input` to `out`. Returns kJhSuccess,
// kJhBadHashLength for another digest size, or kJhFail when bit_length is
// not a whole number of bytes; nothing is written on failure.
int jh_hash(int hash_bit_length, const uint8_t* input, uint64_t bit_length, uint8_t* out);

}  // namespace crypto
