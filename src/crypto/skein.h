// Skein-512 version 1.3 (Threefish-512, 72 rounds), plain hashing with no
// key and no tree. One-shot; pure, any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/status.h"

namespace crypto {


// Writes the `hash_bit_length`-bit digest (8..512, a multiple of 8) of
// `bit_length` bits of `input` to `out` using the 512-bit state.
// kInvalidInput for an unsupported digest size or a bit_length that is not
// a whole number of bytes; nothing is written on failure.
base::status skein_hash(int hash_bit_length, const uint8_t* input, uint64_t bit_length, uint8_t* out);

// Skein-512-256 of `length` bytes: the final hash's signature.
void skein512_256(const uint8_t* input, size_t length, uint8_t* out);

}  // namespace crypto
