// SHA-256 certificate fingerprints: the text a user pins with
// --tls-fingerprint and the form the miner prints. Pure functions; any thread.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace crypto {

using sha256_fingerprint = std::array<uint8_t, 32>;

// 64 hex digits, either case, with or without ':' between the byte pairs.
// Nothing else is accepted (no blanks, no prefix).
std::optional<sha256_fingerprint> parse_fingerprint(std::string_view text);

// Upper-case byte pairs joined by ':', e.g. "AB:01:...".
std::string format_fingerprint(const sha256_fingerprint& fingerprint);

}  // namespace crypto
