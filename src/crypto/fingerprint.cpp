#include "crypto/fingerprint.h"

namespace crypto {
namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<sha256_fingerprint> parse_fingerprint(std::string_view text) {
  sha256_fingerprint out{};
  size_t digits = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == ':') {
      // Only between byte pairs: "AB:CD", never "A:B", "::" or a leading ':'.
      if (digits == 0 || digits % 2 != 0 || digits == 64 || i + 1 == text.size() || text[i + 1] == ':')
        return std::nullopt;
      continue;
    }
    const int value = hex_digit(c);
    if (value < 0 || digits == 64) return std::nullopt;
    out[digits / 2] = static_cast<uint8_t>(out[digits / 2] << 4 | value);
    ++digits;
  }
  if (digits != 64) return std::nullopt;
  return out;
}

std::string format_fingerprint(const sha256_fingerprint& fingerprint) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(fingerprint.size() * 3);
  for (uint8_t byte : fingerprint) {
    if (!text.empty()) text += ':';
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0f];
  }
  return text;
}

}  // namespace crypto
