// Hex text <-> bytes: both the allocating and the fixed-buffer forms.
#include "base/hex.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace base {
namespace {

TEST(Hex, DecodesEitherCaseAndRefusesOddLengthsAndNonDigits) {
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(hex_decode("00aBfF7e", &bytes));
  EXPECT_EQ(bytes, (std::vector<uint8_t>{0x00, 0xab, 0xff, 0x7e}));
  EXPECT_TRUE(hex_decode("", &bytes));
  EXPECT_TRUE(bytes.empty());

  bytes = {1, 2};
  EXPECT_FALSE(hex_decode("abc", &bytes));
  EXPECT_TRUE(bytes.empty());
  bytes = {1, 2};
  EXPECT_FALSE(hex_decode("ab0g", &bytes));
  EXPECT_TRUE(bytes.empty());
}

TEST(Hex, FixedBufferDecodeStopsAtTheFirstBadPair) {
  uint8_t out[4] = {0xee, 0xee, 0xee, 0xee};
  ASSERT_TRUE(hex_decode_to("0A1b2C3d", 4, out));
  EXPECT_EQ(out[0], 0x0a);
  EXPECT_EQ(out[3], 0x3d);

  std::memset(out, 0xee, sizeof(out));
  EXPECT_FALSE(hex_decode_to("01 2zz", 3, out));  // a blank is no digit
  EXPECT_EQ(out[0], 0x01);
  EXPECT_EQ(out[1], 0xee);  // nothing written from the bad pair on
  // Only `count` pairs are read: what follows does not matter.
  EXPECT_TRUE(hex_decode_to("ffxx", 1, out));
  EXPECT_EQ(out[0], 0xff);
  EXPECT_TRUE(hex_decode_to("", 0, out));
}

TEST(Hex, EncodesLowerCaseWithATerminatorInFixedBuffers) {
  const uint8_t bytes[] = {0x00, 0x9f, 0xa0, 0xff};
  char text[2 * sizeof(bytes) + 2];
  std::memset(text, 'x', sizeof(text));
  hex_encode_to(bytes, sizeof(bytes), text);
  EXPECT_STREQ(text, "009fa0ff");
  EXPECT_EQ(text[sizeof(text) - 1], 'x');  // nothing past the NUL
  EXPECT_EQ(hex_encode(bytes, sizeof(bytes)), "009fa0ff");
  EXPECT_EQ(hex_encode(bytes, 0), "");

  std::vector<uint8_t> back;
  ASSERT_TRUE(hex_decode(hex_encode(bytes, sizeof(bytes)), &back));
  EXPECT_EQ(back, std::vector<uint8_t>(bytes, bytes + sizeof(bytes)));
}

}  // namespace
}  // namespace base
