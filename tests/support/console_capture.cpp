#include "support/console_capture.h"

#include <regex>

namespace base {

std::string without_times(const std::string& text) {
  return std::regex_replace(text, std::regex(R"(\[\d\d:\d\d:\d\d\] )"), "");
}

std::string read_file(const std::string& path) {
  std::string out;
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return out;
  char buffer[4096];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof(buffer), file)) > 0) out.append(buffer, got);
  std::fclose(file);
  return out;
}

}  // namespace base
