#include "crypto/final_hash.h"

#include "crypto/blake256.h"
#include "crypto/groestl.h"
#include "crypto/jh.h"
#include "crypto/keccak.h"
#include "crypto/skein.h"

namespace crypto {
namespace {

// Byte lengths only reach these wrappers, so the bit-length functions
// cannot fail here.
void blake_entry(const uint8_t* input, size_t length, uint8_t* out) {
  blake256_hash(out, input, length);
}
void groestl_entry(const uint8_t* input, size_t length, uint8_t* out) {
  groestl(input, length * 8, out);
}
void jh_entry(const uint8_t* input, size_t length, uint8_t* out) {
  jh_hash(256, input, length * 8, out);
}
void skein_entry(const uint8_t* input, size_t length, uint8_t* out) {
  skein_hash(256, input, length * 8, out);
}

}  // namespace

const final_hash_fn kFinalHashes[4] = {blake_entry, groestl_entry, jh_entry, skein_entry};

void final_hash(const uint8_t state[200], uint8_t out[32]) {
  kFinalHashes[state[0] & 3](state, kKeccakStateBytes, out);
}

}  // namespace crypto
