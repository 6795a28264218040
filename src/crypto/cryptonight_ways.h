// CryptoNight for miners: several hashes of one algorithm computed together
// in one thread, their main loops interleaved step by step so the processor
// overlaps their memory accesses, with the processor's AES instructions.
// Bit-exact with CryptoNight::hash (the reference it falls back to where it
// has no fast path). Any thread; the caller owns the work areas.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/cryptonight.h"

namespace crypto {

// Hashes interleaved at most in one call, and the distance between the
// work areas of the hashes of one call (a work area rounded up to pages).
constexpr int kMaxWays = 4;
constexpr size_t kWayStride = 0x401000;

// Whether this processor runs the fast path (x86-64 with AES instructions)
// and whether it serves an algorithm (the base and V8 loops without the
// inverted round or the conceal step); elsewhere hash_ways hashes one blob
// after the other with the reference.
bool have_aes_instructions();
bool ways_supported(int32_t algorithm);

// Hashes blobs[0..ways-1] (each `length` bytes, the same algorithm) into
// outs[i][32]. Hash i uses the work area at work_areas + i * kWayStride;
// work_areas is aligned to kWorkAreaAlignment. 1 <= ways <= kMaxWays.
// Allocates nothing.
void hash_ways(int32_t algorithm, int ways, uint8_t* work_areas, const uint8_t* const* blobs, size_t length,
               uint8_t* const* outs);

}  // namespace crypto
