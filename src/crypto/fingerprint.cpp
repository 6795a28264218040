#include "crypto/fingerprint.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "base/hex.h"

namespace crypto {

std::optional<sha256_fingerprint> parse_fingerprint(std::string_view text) {
  std::string digits;
  digits.reserve(64);
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != ':') {
      digits += text[i];
      continue;
    }
    // Only between byte pairs: "AB:CD", never "A:B", "::" or at either end.
    if (digits.empty() || digits.size() % 2 != 0 || i + 1 == text.size() || text[i + 1] == ':')
      return std::nullopt;
  }
  std::vector<uint8_t> bytes;
  if (digits.size() != 64 || !base::hex_decode(digits, &bytes)) return std::nullopt;
  sha256_fingerprint out{};
  std::copy(bytes.begin(), bytes.end(), out.begin());
  return out;
}

std::string format_fingerprint(const sha256_fingerprint& fingerprint) {
  const std::string digits = base::hex_encode(fingerprint.data(), fingerprint.size());
  std::string text;
  text.reserve(fingerprint.size() * 3);
  for (size_t i = 0; i < digits.size(); i += 2) {
    if (!text.empty()) text += ':';
    text += static_cast<char>(std::toupper(static_cast<unsigned char>(digits[i])));
    text += static_cast<char>(std::toupper(static_cast<unsigned char>(digits[i + 1])));
  }
  return text;
}

}  // namespace crypto
