// The last step of every CryptoNight hash: one of four 256-bit hashes of the
// whole 200-byte Keccak state, chosen by the low two bits of state byte 0.
// Pure; any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace crypto {

// (input, length in bytes, 32-byte output)
using final_hash_fn = void (*)(const uint8_t* input, size_t length, uint8_t* out);

// Indexed by state byte 0 AND 3: BLAKE-256, Groestl-256, JH-256,
// Skein-512-256.
extern const final_hash_fn kFinalHashes[4];

// Hashes the 200-byte state with the function its byte 0 selects.
void final_hash(const uint8_t state[200], uint8_t out[32]);

}  // namespace crypto
