#include "base/hex.h"

namespace base {
namespace {

constexpr char kDigits[] = "0123456789abcdef";

int digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool hex_decode_to(const char* text, size_t count, uint8_t* out) {
  for (size_t i = 0; i < count; ++i) {
    const int hi = digit_value(text[2 * i]);
    const int lo = digit_value(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    out[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  return true;
}

void hex_encode_to(const uint8_t* data, size_t count, char* out) {
  for (size_t i = 0; i < count; ++i) {
    out[2 * i] = kDigits[data[i] >> 4];
    out[2 * i + 1] = kDigits[data[i] & 0x0F];
  }
  out[2 * count] = '\0';
}

bool hex_decode(std::string_view text, std::vector<uint8_t>* out) {
  out->clear();
  if (text.size() % 2 != 0) return false;
  out->resize(text.size() / 2);
  if (!hex_decode_to(text.data(), out->size(), out->data())) {
    out->clear();
    return false;
  }
  return true;
}

std::string hex_encode(const uint8_t* data, size_t length) {
  std::string text(length * 2, '0');
  hex_encode_to(data, length, text.data());  // its NUL lands on the string's own
  return text;
}

}  // namespace base
