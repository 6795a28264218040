// Test helper: a CPU hash with its own work area. A test cannot go on
// without one, so a failed allocation prints its message and ends the
// program. Any thread; one thread per instance at a time.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "crypto/cryptonight.h"

namespace support {

inline std::unique_ptr<crypto::CryptoNight> cpu_hash() {
  std::unique_ptr<crypto::CryptoNight> hash;
  if (const base::status created = crypto::CryptoNight::create(hash); !created) {
    std::fprintf(stderr, "%s\n", created.message().c_str());
    std::abort();
  }
  return hash;
}

}  // namespace support
