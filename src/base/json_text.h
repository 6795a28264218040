// Text as the inside of a JSON string: quotes, backslashes and control
// characters are escaped, everything else is copied unchanged. Pure
// functions; any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace base {

// The JSON form of one character: 1 byte for ordinary ones, 2 for \" \\ \b
// \f \n \r \t, 6 for other control characters (\u00XX). Returns the length
// written into sequence (not NUL-terminated).
size_t json_escape_sequence(unsigned char c, char (&sequence)[6]);

void append_json_escaped(std::string& out, std::string_view text);
std::string json_escaped(std::string_view text);

// Writes `value` as the inside of a JSON string into `out` (capacity bytes,
// always NUL-terminated when capacity > 0), with the escapes above. A value
// that does not fit is cut before the first escape sequence that would not
// fit whole. Returns the length written. Allocates nothing: outgoing pool
// requests are built with it in fixed buffers.
size_t escape_json_string(const char* value, char* out, size_t capacity);

}  // namespace base
