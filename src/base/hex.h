// Hexadecimal text <-> bytes, two digits per byte in memory order. Reads
// either case, writes lower case. Pure functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace base {

// Decodes `text` into `out` (replaced). Returns false, leaving `out` empty,
// when the length is odd or a character is not a hex digit.
bool hex_decode(std::string_view text, std::vector<uint8_t>* out);

// Lower-case hex of `length` bytes.
std::string hex_encode(const uint8_t* data, size_t length);

}  // namespace base
