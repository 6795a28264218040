// CPU CryptoNight for every algorithm id of the catalogue, bit-exact with the GPU kernels;
// the executor checks every GPU result with it. Not re-entrant: one thread
// per instance at a time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace crypto {

// Bytes of the work area: the 200-byte Keccak state padded to 224, then
// the largest scratchpad of the catalogue (4 MiB).
constexpr size_t kWorkAreaSize = 0x4000E0;
constexpr size_t kScratchpadOffset = 224;
constexpr size_t kWorkAreaAlignment = 4096;

class CryptoNight {
 public:
  // Allocates the work area once; throws std::runtime_error if it cannot.
  CryptoNight();
  // Hashes in a work area the caller owns (kWorkAreaSize bytes, aligned to
  // kWorkAreaAlignment) and keeps until the instance is gone: a miner that
  // places its scratchpads itself (huge pages, one per core).
  explicit CryptoNight(uint8_t* work_area);
  virtual ~CryptoNight();

  CryptoNight(const CryptoNight&) = delete;
  CryptoNight& operator=(const CryptoNight&) = delete;

  // Hashes `length` bytes of `blob` with algorithm id `algorithm` into
  // out[32]. Ids without a catalogue row leave out untouched. Allocates nothing.
  void hash(int32_t algorithm, const uint8_t* blob, size_t length, uint8_t* out);

 private:
  uint8_t* memory_;  // kWorkAreaSize bytes, kWorkAreaAlignment-aligned
  bool owned_ = true;
};

}  // namespace crypto
