// BLAKE-256 as finally submitted to SHA-3 (14 rounds, SHA-256 initial
// values, zero salt). One-shot, whole bytes; pure, any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace crypto {

// Writes the 32-byte digest of `length` bytes of `input` to `out`: the
// final hash's signature.
void blake256(const uint8_t* input, size_t length, uint8_t* out);

}  // namespace crypto
