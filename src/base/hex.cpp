#include "base/hex.h"

namespace base {
namespace {

int digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool hex_decode(std::string_view text, std::vector<uint8_t>* out) {
  out->clear();
  if (text.size() % 2 != 0) return false;
  out->reserve(text.size() / 2);
  for (size_t i = 0; i < text.size(); i += 2) {
    const int hi = digit_value(text[i]);
    const int lo = digit_value(text[i + 1]);
    if (hi < 0 || lo < 0) {
      out->clear();
      return false;
    }
    out->push_back(static_cast<uint8_t>(hi << 4 | lo));
  }
  return true;
}

std::string hex_encode(const uint8_t* data, size_t length) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text(length * 2, '0');
  for (size_t i = 0; i < length; ++i) {
    text[2 * i] = kDigits[data[i] >> 4];
    text[2 * i + 1] = kDigits[data[i] & 0x0F];
  }
  return text;
}

}  // namespace base
