// escape_json_string: ordinary values unchanged, specials escaped, cuts
// never inside an escape sequence.
#include "base/json_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace base {
namespace {

std::string escaped(const char* value, size_t capacity = 256) {
  char out[256];
  const size_t length = escape_json_string(value, out, capacity);
  EXPECT_EQ(length, std::strlen(out));
  return out;
}

TEST(JsonEscape, OrdinaryValuesAreUnchanged) {
  const char* wallet =
      "44AFFq5kSiGBoZ4NMDwYtN18obc8AemS33DBLWs3H7otXft3XjrpDtQGv7SqSsaBYBb98uNbr2VBBEt7f2wfn3"
      "RVGQBEP3A.worker1+10000";
  EXPECT_EQ(escaped(wallet), wallet);
  EXPECT_EQ(escaped(""), "");
  EXPECT_EQ(escaped("x:y/z@\xc3\xa9"), "x:y/z@\xc3\xa9");
}

TEST(JsonEscape, QuotesBackslashesAndControlsAreEscaped) {
  EXPECT_EQ(escaped("a\"b"), "a\\\"b");
  EXPECT_EQ(escaped("a\\b"), "a\\\\b");
  EXPECT_EQ(escaped("\n\r\t\b\f"), "\\n\\r\\t\\b\\f");
  EXPECT_EQ(escaped("\x01\x1f"), "\\u0001\\u001f");
}

TEST(JsonEscape, CutNeverSplitsAnEscapeSequence) {
  EXPECT_EQ(escaped("ab\"", 4), "ab");       // "ab\"" needs 4 + NUL
  EXPECT_EQ(escaped("ab\"", 5), "ab\\\"");
  EXPECT_EQ(escaped("a\x01", 7), "a");       // \u0001 needs 6 + NUL after 'a'
  EXPECT_EQ(escaped("abc", 1), "");
}

}  // namespace
}  // namespace base
