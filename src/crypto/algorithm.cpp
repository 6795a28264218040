#include "crypto/algorithm.h"

#include <cstdio>

namespace crypto {

const algorithm_info* find_algorithm(int32_t id) {
  if (id < 0 || id >= kAlgoCount) return nullptr;
  return &kAlgorithms[id];
}

const char* algorithm_name(int32_t id) {
  if (id < 1 || id >= kAlgoCount) return kAlgorithms[0].name;
  return kAlgorithms[id].name;
}

uint32_t scratchpad_size(int32_t id) {
  // -1 (auto detect) and ids without a row size like id 0.
  const algorithm_info* info = find_algorithm(id);
  return info != nullptr ? info->scratchpad : kAlgorithms[0].scratchpad;
}

size_class size_class_of(int32_t id) {
  switch (scratchpad_size(id)) {
    case kScratchpadLight:
      return size_class::light;
    case kScratchpadHeavy:
      return size_class::heavy;
    default:
      return size_class::normal;
  }
}

int32_t detect_algorithm(uint8_t major_version) {
  if (major_version >= 8) return kCryptoNightV8;
  if (major_version >= 2) return kCryptoNightV7;
  return kCryptoNight;
}

int32_t find_algorithm_by_pool_name(std::string_view name) {
  for (const algorithm_info& info : kAlgorithms) {
    if (name == info.pool_name || (info.pool_alias != nullptr && name == info.pool_alias)) return info.id;
  }
  return -1;
}

bool uses_v7_tweak(int32_t id) {
  const algorithm_info* info = find_algorithm(id);
  return info != nullptr && info->v7_shift != 0;
}

const char* donation_port(int32_t id) {
  const algorithm_info* info = find_algorithm(id);
  return info != nullptr ? info->donation_port : kAlgorithms[0].donation_port;
}

std::string algo_help_text() {
  std::string text = "hash algorithm to use: -1 for auto detect,";
  for (const algorithm_info& info : kAlgorithms) {
    char line[80];
    std::snprintf(line, sizeof(line), "\n %2d = %s", static_cast<int>(info.id), info.name);
    text += line;
  }
  return text;
}

}  // namespace crypto
