// The program version, shared by orbeck-vega and the tools.
#pragma once

#include <string>
#include <string_view>

namespace app {

// "1.5.0", the project version.
const char* version_number();
// The git revision the program was built from, empty when unknown.
const char* git_revision();
// "orbeck-vega 1.5.0 (git 0123456789ab)" with the program name given, the
// revision part only when known; no line break.
std::string version_line(std::string_view program);

}  // namespace app
