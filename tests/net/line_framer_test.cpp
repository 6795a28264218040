// line_framer without a socket: lines handed out whole and in order, the
// remainder kept, and the 4096-byte overflow rule.
#include "net/line_framer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace net {
namespace {

struct recorder {
  std::vector<std::string> lines;
  size_t reject_at = SIZE_MAX;  // index of the line to refuse

  line_framer::result push(line_framer& framer, const std::string& bytes) {
    EXPECT_LE(bytes.size(), framer.free_capacity());
    std::memcpy(framer.free_space(), bytes.data(), bytes.size());
    return framer.commit(static_cast<uint32_t>(bytes.size()), [this](char* line, size_t length) {
      lines.emplace_back(line, length);
      return lines.size() - 1 != reject_at;
    });
  }
};

TEST(LineFramer, SeveralLinesInOneReadComeOutInOrder) {
  line_framer framer;
  recorder r;
  EXPECT_EQ(r.push(framer, "one\ntwo\r\nthree"), line_framer::result::kMore);
  EXPECT_EQ(r.lines, (std::vector<std::string>{"one\n", "two\r\n"}));
  EXPECT_EQ(framer.pending(), 5u);
  EXPECT_EQ(r.push(framer, "\n"), line_framer::result::kMore);
  EXPECT_EQ(r.lines.back(), "three\n");
  EXPECT_EQ(framer.pending(), 0u);
}

TEST(LineFramer, LineSplitOverReadsComesOutOnceWhole) {
  line_framer framer;
  recorder r;
  const std::string line = "{\"method\":\"job\"}\n";
  for (char c : line) EXPECT_EQ(r.push(framer, std::string(1, c)), line_framer::result::kMore);
  EXPECT_EQ(r.lines, (std::vector<std::string>{line}));
  EXPECT_EQ(framer.pending(), 0u);
}

TEST(LineFramer, RemainderMovesToTheFront) {
  line_framer framer;
  recorder r;
  r.push(framer, "a\nbcd");
  EXPECT_EQ(framer.free_capacity(), line_framer::kBufferSize - 3);
  EXPECT_EQ(std::string(framer.free_space() - 3, 3), "bcd");
}

TEST(LineFramer, PendingBytesUpTo4095AreAccepted) {
  line_framer framer;
  recorder r;
  EXPECT_EQ(r.push(framer, std::string(4000, 'x')), line_framer::result::kMore);
  EXPECT_EQ(r.push(framer, std::string(95, 'x')), line_framer::result::kMore);
  EXPECT_EQ(framer.pending(), 4095u);
  EXPECT_EQ(framer.free_capacity(), 1u);
  EXPECT_TRUE(r.lines.empty());
}

TEST(LineFramer, Reaching4096IsAnOverflowEvenWithALineFeed) {
  line_framer framer;
  recorder r;
  ASSERT_EQ(r.push(framer, std::string(4095, 'x')), line_framer::result::kMore);
  EXPECT_EQ(r.push(framer, "\n"), line_framer::result::kOverflow);
  EXPECT_TRUE(r.lines.empty());
}

TEST(LineFramer, ShortLinesThatTogetherFillTheBufferAreAllHandedOut) {
  line_framer framer;
  recorder r;
  // 512 lines of 8 bytes arrive in one read of exactly 4096 bytes.
  std::string burst;
  for (int i = 0; i < 512; ++i) burst += "line" + std::to_string(1000 + i).substr(1) + "\n";
  ASSERT_EQ(burst.size(), line_framer::kBufferSize);
  EXPECT_EQ(r.push(framer, burst), line_framer::result::kMore);
  EXPECT_EQ(r.lines.size(), 512u);
  EXPECT_EQ(framer.pending(), 0u);

  // A burst that ends in a partial line keeps it for the next read.
  line_framer second;
  recorder s;
  EXPECT_EQ(s.push(second, "a\n" + std::string(4094, 'x')), line_framer::result::kMore);
  EXPECT_EQ(s.lines, (std::vector<std::string>{"a\n"}));
  EXPECT_EQ(second.pending(), 4094u);
  EXPECT_EQ(s.push(second, "\n"), line_framer::result::kMore);
  ASSERT_EQ(s.lines.size(), 2u);
  EXPECT_EQ(s.lines[1].size(), 4095u);
}

TEST(LineFramer, LineOf4095BytesIsHandedOut) {
  line_framer framer;
  recorder r;
  EXPECT_EQ(r.push(framer, std::string(4094, 'x') + "\n"), line_framer::result::kMore);
  ASSERT_EQ(r.lines.size(), 1u);
  EXPECT_EQ(r.lines[0].size(), 4095u);
}

TEST(LineFramer, RejectedLineStopsTheRest) {
  line_framer framer;
  recorder r;
  r.reject_at = 1;
  EXPECT_EQ(r.push(framer, "a\nb\nc\n"), line_framer::result::kRejected);
  EXPECT_EQ(r.lines, (std::vector<std::string>{"a\n", "b\n"}));
}

}  // namespace
}  // namespace net
