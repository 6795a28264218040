// Writes text as the inside of a JSON string: quotes, backslashes and
// control characters are escaped, everything else is copied unchanged.
// Pure functions; any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace app {

// The JSON form of one character: 1 byte for ordinary ones, 2 for \" \\ \b
// \f \n \r \t, 6 for other control characters (\u00XX). Returns the length
// written into sequence (not NUL-terminated).
size_t json_escape_sequence(unsigned char c, char (&sequence)[6]);

void append_json_escaped(std::string& out, std::string_view text);
std::string json_escaped(std::string_view text);

}  // namespace app
