#include "crypto/final_hash.h"

#include "crypto/blake256.h"
#include "crypto/groestl.h"
#include "crypto/jh.h"
#include "crypto/keccak.h"
#include "crypto/skein.h"

namespace crypto {

const final_hash_fn kFinalHashes[4] = {blake256, groestl256, jh256, skein512_256};

void final_hash(const uint8_t state[200], uint8_t out[32]) {
  kFinalHashes[state[0] & 3](state, kKeccakStateBytes, out);
}

}  // namespace crypto
