// Escaping of values that outgoing pool requests insert into JSON strings.
// Pure functions; any thread.
#pragma once

#include <cstddef>

namespace net {

// Writes `value` as the inside of a JSON string into `out` (capacity bytes,
// always NUL-terminated when capacity > 0): '"' and '\' get a backslash,
// control characters become \b \f \n \r \t or \u00XX, all other bytes are
// copied unchanged. A value that does not fit is cut before the first escape
// sequence that would not fit whole. Returns the length written.
size_t escape_json_string(const char* value, char* out, size_t capacity);

}  // namespace net
