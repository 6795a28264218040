#include "base/json_text.h"

namespace base {

size_t json_escape_sequence(unsigned char c, char (&sequence)[6]) {
  static constexpr char kHex[] = "0123456789abcdef";
  char escaped = 0;
  switch (c) {
    case '"': escaped = '"'; break;
    case '\\': escaped = '\\'; break;
    case '\b': escaped = 'b'; break;
    case '\f': escaped = 'f'; break;
    case '\n': escaped = 'n'; break;
    case '\r': escaped = 'r'; break;
    case '\t': escaped = 't'; break;
    default:
      if (c >= 0x20) {
        sequence[0] = static_cast<char>(c);
        return 1;
      }
      sequence[0] = '\\';
      sequence[1] = 'u';
      sequence[2] = '0';
      sequence[3] = '0';
      sequence[4] = kHex[c >> 4];
      sequence[5] = kHex[c & 0xF];
      return 6;
  }
  sequence[0] = '\\';
  sequence[1] = escaped;
  return 2;
}

void append_json_escaped(std::string& out, std::string_view text) {
  char sequence[6];
  for (const char ch : text) out.append(sequence, json_escape_sequence(static_cast<unsigned char>(ch), sequence));
}

std::string json_escaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  append_json_escaped(out, text);
  return out;
}

size_t escape_json_string(const char* value, char* out, size_t capacity) {
  if (capacity == 0) return 0;
  size_t length = 0;
  for (const char* p = value; *p != '\0'; ++p) {
    char sequence[6];
    const size_t size = json_escape_sequence(static_cast<unsigned char>(*p), sequence);
    // Keep room for the NUL; never write half an escape sequence.
    if (length + size >= capacity) break;
    for (size_t i = 0; i < size; ++i) out[length++] = sequence[i];
  }
  out[length] = '\0';
  return length;
}

}  // namespace base
