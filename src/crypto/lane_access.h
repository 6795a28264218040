// Scratchpad access shared by the hash loops: lines are read and written
// through memcpy, since the work area is raw memory seen as bytes, 32-bit
// AES words and 64-bit lanes. Header-only so the loops inline them.
#pragma once

#include <cstdint>
#include <cstring>

namespace crypto {

inline uint64_t load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof(v));
  return v;
}

inline void store64(uint8_t* p, uint64_t v) { std::memcpy(p, &v, sizeof(v)); }

inline void prefetch(const uint8_t* p) { __builtin_prefetch(p, 1, 3); }

}  // namespace crypto
