// Writes text as the inside of a JSON string: quotes, backslashes and
// control characters are escaped, everything else is copied unchanged.
#pragma once

#include <string>
#include <string_view>

namespace app {

void append_json_escaped(std::string& out, std::string_view text);
std::string json_escaped(std::string_view text);

}  // namespace app
