#include "crypto/algorithm.h"

namespace crypto {
namespace {

using dr = division_rule;

// id, name, scratchpad, iterations, mask, heavy, v7 shift, lane xor a0,
// division, inverted aes, v8, minimum blob length
constexpr algorithm_info kCatalogue[kAlgoCount] = {
    {0, "CryptoNight", kScratchpadNormal, 0x80000, 0x1FFFF0, false, 0, false, dr::none, false, false, 0},
    {1, "CryptoNightV7", kScratchpadNormal, 0x80000, 0x1FFFF0, false, 2, false, dr::none, false, false, 43},
    {2, "CryptoNight-Heavy", kScratchpadHeavy, 0x40000, 0x3FFFF0, true, 0, false, dr::d_xor_q, false, false, 0},
    {3, "CryptoNight-Lite", kScratchpadLight, 0x40000, 0x0FFFF0, false, 0, false, dr::none, false, false, 0},
    {4, "CryptoNightV7-Lite", kScratchpadLight, 0x40000, 0x0FFFF0, false, 2, false, dr::none, false, false, 43},
    {5, "CryptoNightTUBE-Heavy", kScratchpadHeavy, 0x40000, 0x3FFFF0, true, 2, true, dr::d_xor_q, true, false, 43},
    {6, "CryptoNightXTL", kScratchpadNormal, 0x80000, 0x1FFFF0, false, 3, false, dr::none, false, false, 43},
    {7, "CryptoNightXHV-Heavy", kScratchpadHeavy, 0x40000, 0x3FFFF0, true, 0, false, dr::not_d_xor_q, false, false, 0},
    {8, "CryptoNight-Fast", kScratchpadNormal, 0x40000, 0x1FFFF0, false, 2, false, dr::none, false, false, 43},
    {9, "CryptoNightFEST", kScratchpadNormal, 0x80000, 0x1FFFF0, false, 2, true, dr::none, false, false, 43},
    {10, "CryptoNightV8", kScratchpadNormal, 0x80000, 0x1FFFF0, false, 0, false, dr::none, false, true, 0},
};

}  // namespace

const algorithm_info* find_algorithm(int32_t id) {
  if (id < 0 || id >= kAlgoCount) return nullptr;
  return &kCatalogue[id];
}

const char* algorithm_name(int32_t id) {
  if (id < 1 || id >= kAlgoCount) return kCatalogue[0].name;
  return kCatalogue[id].name;
}

uint32_t scratchpad_size(int32_t id) {
  // Decided in this order on purpose: -1 (auto detect) sizes like id 0.
  if (id == kCryptoNightHeavy) return kScratchpadHeavy;
  if (id < 2) return kScratchpadNormal;
  if (id == kCryptoNightLite || id == kCryptoNightV7Lite) return kScratchpadLight;
  if (id == kCryptoNightTubeHeavy || id == kCryptoNightXhvHeavy) return kScratchpadHeavy;
  return kScratchpadNormal;
}

size_class size_class_of(int32_t id) {
  switch (scratchpad_size(id)) {
    case kScratchpadLight: return size_class::light;
    case kScratchpadHeavy: return size_class::heavy;
    default: return size_class::normal;
  }
}

int32_t detect_algorithm(uint8_t major_version) {
  if (major_version >= 8) return kCryptoNightV8;
  if (major_version >= 2) return kCryptoNightV7;
  return kCryptoNight;
}

bool uses_v7_tweak(int32_t id) {
  const algorithm_info* info = find_algorithm(id);
  return info != nullptr && info->v7_shift != 0;
}

}  // namespace crypto
