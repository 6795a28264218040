#include "net/json_escape.h"

#include "app/json_text.h"

namespace net {

size_t escape_json_string(const char* value, char* out, size_t capacity) {
  if (capacity == 0) return 0;
  size_t length = 0;
  for (const char* p = value; *p != '\0'; ++p) {
    char sequence[6];
    const size_t size = app::json_escape_sequence(static_cast<unsigned char>(*p), sequence);
    // Keep room for the NUL; never write half an escape sequence.
    if (length + size >= capacity) break;
    for (size_t i = 0; i < size; ++i) out[length++] = sequence[i];
  }
  out[length] = '\0';
  return length;
}

}  // namespace net
