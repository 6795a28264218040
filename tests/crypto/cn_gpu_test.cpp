// cn/gpu's own steps against the published intermediate values of the
// vector "cn/gpu": the state they start from, the fill, the loop's index and
// feedback at several points, and the pad after the loop.
#include "crypto/cn_gpu.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <string>
#include <vector>

#include "base/hex.h"
#include "crypto/keccak.h"

namespace crypto {
namespace {

constexpr char kInput[] =
    "0305a0dbd6bf05cf16e503f3a66f78007cbf34144332ecbfc22ed95c8700383b"
    "309ace1923a0964b00000008ba939a62724c0d7581fce5761e9d8a0e6a1c3f92"
    "4fdd8493d1115649c05eb601";

std::vector<uint8_t> bytes(const char* hex) {
  std::vector<uint8_t> out;
  EXPECT_TRUE(base::hex_decode(hex, &out)) << hex;
  return out;
}

std::string hex_at(const std::vector<uint8_t>& pad, size_t offset, size_t length) {
  return base::hex_encode(pad.data() + offset, length);
}

struct loop_point {
  uint32_t iterations;  // after this many
  uint32_t idx;
  uint32_t fb[4];  // bits
};

// idx and feedback after n iterations, from the definition's check values.
constexpr loop_point kLoopPoints[] = {
    {1, 0x73c27141, {0x3f2c2d6f, 0x3f36122b, 0x3f197cd9, 0x3ec72828}},
    {2, 0xe77a3abb, {0x3ebc8fb6, 0x3f179b84, 0x3f22ef6c, 0x3f1cf3e1}},
    {10, 0xad79653a, {0x3f0ac6e2, 0x3ea9c783, 0x3e243c96, 0x3e06850f}},
    {100, 0xbdf9bbb1, {0x3f1c2502, 0x3e9bf67d, 0x3eeb9c36, 0x3eb46c2e}},
    {1000, 0x511fbaed, {0x3f05f550, 0x3f07a651, 0x3f247195, 0x3f26eb74}},
    {10000, 0x4e336f5c, {0x3dd8fe30, 0x3f2c6b54, 0x3e3ec5bd, 0x3f2a4d96}},
    {49152, 0x9acc38d3, {0x3d8119fe, 0x3f01c3cb, 0x3f2433bd, 0x3f2dfb7c}},
};

TEST(CnGpu, IntermediateValuesOfThePublishedVector) {
  const std::vector<uint8_t> input = bytes(kInput);
  uint64_t state[25];
  keccak1600(input.data(), input.size(), state);
  uint8_t s[200];
  std::memcpy(s, state, sizeof(s));
  EXPECT_EQ(base::hex_encode(s, 200),
            "015aa627dffe80efcdc3043dc2696ca4aab91b5594b0a88d6a4942a6e53cffab"
            "a4ee687ccea1373376e8ef6daa9c2f4a61fecba682994e8bb785e1bb5bd88d4d"
            "5c788516d293dade0bd6766329bcf03cae57aaddfd2e62532cd6ece2b4069a36"
            "965a2157a978a3cfc7a933b14a313b3e5a260de051a2347071d177005178df39"
            "a01da68bcaa71dc4d4932f871221c5498a891bb6ded8f323da4ce6dcbac863d2"
            "24a992bc1115ea799113a202d38aa843565fff349e5988313f835cb4a2c7156e"
            "c672502889d8e16d");

  std::vector<uint8_t> pad(kCnGpuScratchpad);
  cn_gpu_fill(state, pad.data());
  // Each chunk's three permutations write 160, 176 and 176 bytes.
  const struct {
    size_t offset;
    const char* hex;
  } kFill[] = {
      {0, "a7a793c15058190f15837dc7480aba6899e04df46579e3e97aa2a0148d9a2563"},
      {160, "fc2e3526e9f23ed2b005af04eba5a3b13ed65c8ee5914f81c5b1dee1a5c46019"},
      {336, "e1b9d9ce6d14da764b186263c060a781cdab3c050c00eb5358aafb241fa16851"},
      {512, "836a9b935137e4deb65e5b9abb8f249da8420d7b9c6268d467eb7adcfa063d4d"},
      {2097120, "a0898af3eb49191a351112a4992ca19c37b94689bc8ba4e37a830f246781594c"},
  };
  for (const auto& f : kFill) EXPECT_EQ(hex_at(pad, f.offset, 32), f.hex) << "fill at " << f.offset;

  cn_gpu_loop_state loop = cn_gpu_loop_start(s);
  EXPECT_EQ(loop.idx, 0x0027a65au);
  uint32_t done = 0;
  for (const loop_point& point : kLoopPoints) {
    cn_gpu_loop(pad.data(), point.iterations - done, loop);
    done = point.iterations;
    EXPECT_EQ(loop.idx, point.idx) << "after " << done;
    for (int j = 0; j < 4; ++j) {
      EXPECT_EQ(std::bit_cast<uint32_t>(loop.fb[j]), point.fb[j])
          << "after " << done << " lane " << j;
    }
    if (done == 1) {
      // The first group, written back as V ^ OUT_k (u32 lanes in memory order).
      EXPECT_EQ(hex_at(pad, 0x07a640, 64),
                "091c6fa8e14742e64f3043fb1ef95a68"
                "5a2dca9dbacbef41a88e806eb9b8a041"
                "b37dbd77845820d8f83c62f2198744fc"
                "4bb86800756ce3afb5165b63108f9ec9");
    }
  }
  EXPECT_EQ(hex_at(pad, 0, 32), "7773daf19bc892102d999ded8ba18a34013ecd13d9a4a1c6cf1ca73d9a633c34");
  uint64_t folded = 0;
  for (size_t o = 0; o < pad.size(); o += 8) {
    uint64_t word;
    std::memcpy(&word, pad.data() + o, 8);
    folded ^= word;
  }
  EXPECT_EQ(folded, 0x569a6bb9ffbaa0f2u);
}

}  // namespace
}  // namespace crypto
