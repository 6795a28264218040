// Groestl-256 as finally submitted (tweaked round-3 constants): 512-bit P
// and Q permutations, 10 rounds each. One-shot; pure, any thread.
#pragma once

#include <cstdint>

namespace crypto {

// Writes the 32-byte digest of `bit_length` bits of `input` to `out`.
// Whole bytes only: returns false (writing nothing) if bit_length % 8 != 0.
bool groestl(const uint8_t* input, uint64_t bit_length, uint8_t* out);

}  // namespace crypto
