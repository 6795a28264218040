// CPU CryptoNight for every algorithm id of the catalogue, bit-exact with the GPU kernels;
// the executor checks every GPU result with it. Not re-entrant: one thread
// per instance at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace crypto {

// Bytes of the work area: the 200-byte Keccak state padded to 224, then
// the largest scratchpad of the catalogue (4 MiB).
constexpr size_t kWorkAreaSize = 0x4000E0;
constexpr size_t kScratchpadOffset = 224;
constexpr size_t kWorkAreaAlignment = 4096;

class random_program_code;

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
  // out[32]. Ids without a catalogue row leave out untouched. `height` is
  // the job's block height, an input of the rows whose loop is generated
  // per height (kCryptoNightR) and ignored by the others. Allocates nothing,
  // except that such a row builds its program once per new height.
  void hash(int32_t algorithm, const uint8_t* blob, size_t length, uint8_t* out,
            uint64_t height = 0);

 private:
  uint8_t* memory_;  // kWorkAreaSize bytes, kWorkAreaAlignment-aligned
  std::unique_ptr<random_program_code> random_code_;  // the last height's program
  bool owned_ = true;
};

}  // namespace crypto
