#include "crypto/algorithm.h"

#include <cstdint>
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
    case kScratchpad256K:
      return size_class::pico;
    case kScratchpad128K:
      return size_class::extreme_lite;
    default:
      return size_class::normal;
  }
}

int32_t detect_algorithm(uint8_t major_version) {
  // Version 12 and later blobs are no longer hashed with this family.
  if (major_version >= 12) return kAlgoNotDetected;
  if (major_version >= 10) return kCryptoNightR;
  if (major_version >= 8) return kCryptoNightV8;
  if (major_version >= 2) return kCryptoNightV7;
  return kCryptoNight;
}

namespace {

bool same_name(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// Whether `name` is one of the space-separated names of `list`.
bool in_name_list(std::string_view list, std::string_view name) {
  while (!list.empty()) {
    const size_t space = list.find(' ');
    if (same_name(list.substr(0, space), name)) return true;
    if (space == std::string_view::npos) break;
    list.remove_prefix(space + 1);
  }
  return false;
}

}  // namespace

int32_t find_algorithm_by_pool_name(std::string_view name) {
  if (name.empty()) return -1;
  for (const algorithm_info& info : kAlgorithms) {
    if (same_name(name, info.pool_name) ||
        (info.pool_alias != nullptr && same_name(name, info.pool_alias)) ||
        in_name_list(info.other_names, name)) {
      return info.id;
    }
  }
  return -1;
}

bool parse_algorithm_argument(std::string_view text, int32_t& id) {
  const bool negative = !text.empty() && text[0] == '-';
  const std::string_view digits = negative ? text.substr(1) : text;
  if (!digits.empty() && digits.size() <= 10 &&
      digits.find_first_not_of("0123456789") == std::string_view::npos) {
    int64_t value = 0;
    for (char c : digits) value = value * 10 + (c - '0');
    if (negative) value = -value;
    if (value < INT32_MIN || value > INT32_MAX) return false;
    id = static_cast<int32_t>(value);
    return true;
  }
  const int32_t found = find_algorithm_by_pool_name(text);
  if (found < 0) return false;
  id = found;
  return true;
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
  std::string text = "algorithm id or pool name, -1 for auto detect:";
  for (const algorithm_info& info : kAlgorithms) {
    char line[96];
    std::snprintf(line, sizeof(line), "\n %2d = %s (%s)", static_cast<int>(info.id), info.name,
                  info.pool_name);
    text += line;
  }
  return text;
}

}  // namespace crypto
