#include "net/json_escape.h"

#include <cstdio>

namespace net {

size_t escape_json_string(const char* value, char* out, size_t capacity) {
  if (capacity == 0) return 0;
  size_t length = 0;
  for (const char* p = value; *p != '\0'; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    char sequence[7];
    size_t size = 0;
    switch (c) {
      case '"': size = 2, sequence[0] = '\\', sequence[1] = '"'; break;
      case '\\': size = 2, sequence[0] = '\\', sequence[1] = '\\'; break;
      case '\b': size = 2, sequence[0] = '\\', sequence[1] = 'b'; break;
      case '\f': size = 2, sequence[0] = '\\', sequence[1] = 'f'; break;
      case '\n': size = 2, sequence[0] = '\\', sequence[1] = 'n'; break;
      case '\r': size = 2, sequence[0] = '\\', sequence[1] = 'r'; break;
      case '\t': size = 2, sequence[0] = '\\', sequence[1] = 't'; break;
      default:
        if (c < 0x20) {
          std::snprintf(sequence, sizeof(sequence), "\\u%04x", c);
          size = 6;
        } else {
          sequence[0] = static_cast<char>(c);
          size = 1;
        }
    }
    // Keep room for the NUL; never write half an escape sequence.
    if (length + size >= capacity) break;
    for (size_t i = 0; i < size; ++i) out[length++] = sequence[i];
  }
  out[length] = '\0';
  return length;
}

}  // namespace net
