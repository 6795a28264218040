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

// The same into fixed buffers, allocating nothing (a pool line is decoded
// and a share encoded without touching the heap).
// Decodes the 2 * count digits at `text` into count bytes at `out`; false
// at the first pair that is not two hex digits (`out` then holds the bytes
// before it).
bool hex_decode_to(const char* text, size_t count, uint8_t* out);
// Writes 2 * count lower-case digits and a NUL: `out` holds 2 * count + 1.
void hex_encode_to(const uint8_t* data, size_t count, char* out);

}  // namespace base
