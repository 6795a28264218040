// CPU CryptoNight for every algorithm id of the catalogue, bit-exact with the GPU kernels;
// the executor checks every GPU result with it. Not re-entrant: one thread
// per instance at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/status.h"

namespace crypto {

// Bytes of the work area: the 200-byte Keccak state padded to 224, then
// the largest scratchpad of the catalogue (4 MiB).
constexpr size_t kWorkAreaSize = 0x4000E0;
constexpr size_t kScratchpadOffset = 224;
constexpr size_t kWorkAreaAlignment = 4096;

class random_program_code;

class CryptoNight {
 public:
  // An instance with its own work area, allocated once. Fails (kIoError,
  // "CryptoNight: cannot allocate the <n>-byte hash work area") when the
  // memory is not there; `out` is then left empty.
  static base::status create(std::unique_ptr<CryptoNight>& out);
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
  struct owned_area {};
  CryptoNight(uint8_t* work_area, owned_area);

  uint8_t* memory_;  // kWorkAreaSize bytes, kWorkAreaAlignment-aligned
  std::unique_ptr<random_program_code> random_code_;  // the last height's program
  bool owned_ = false;  // memory_ came from create and is freed with the instance
};

}  // namespace crypto
