// JH as finally submitted (42-round E8 on a 1024-bit state). One-shot;
// pure, any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/status.h"

namespace crypto {


// Writes the `hash_bit_length`-bit digest (224, 256, 384 or 512) of
// `bit_length` bits of `input` to `out`. kInvalidInput for another digest
// size or a bit_length that is not a whole number of bytes; nothing is
// written on failure.
base::status jh_hash(int hash_bit_length, const uint8_t* input, uint64_t bit_length, uint8_t* out);

// JH-256 of `length` bytes: the final hash's signature.
void jh256(const uint8_t* input, size_t length, uint8_t* out);

}  // namespace crypto
