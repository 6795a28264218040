// Groestl-256 as finally submitted (tweaked round-3 constants): 512-bit P
// and Q permutations, 10 rounds each. One-shot; pure, any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/status.h"

namespace crypto {

// Writes the 32-byte digest of `bit_length` bits of `input` to `out`.
// Whole bytes only: kInvalidInput (writing nothing) if bit_length % 8 != 0.
base::status groestl(const uint8_t* input, uint64_t bit_length, uint8_t* out);

// Groestl-256 of `length` bytes: the final hash's signature.
void groestl256(const uint8_t* input, size_t length, uint8_t* out);

}  // namespace crypto
