// The algorithm catalogue: every member of the CryptoNight family the miner
// supports, keyed by a small signed id. Pure constant data; any thread.
#pragma once

#include <cstdint>
#include <string_view>

namespace crypto {

// -1 is only a configuration value ("detect from the job's blob").
constexpr int32_t kAlgoAutoDetect = -1;
constexpr int32_t kAlgoCount = 11;

enum algorithm_id : int32_t {
  kCryptoNight = 0,
  kCryptoNightV7 = 1,
  kCryptoNightHeavy = 2,
  kCryptoNightLite = 3,
  kCryptoNightV7Lite = 4,
  kCryptoNightTubeHeavy = 5,
  kCryptoNightXtl = 6,
  kCryptoNightXhvHeavy = 7,
  kCryptoNightFast = 8,
  kCryptoNightFest = 9,
  kCryptoNightV8 = 10,
};

constexpr uint32_t kScratchpadLight = 0x100000;   // 1 MiB
constexpr uint32_t kScratchpadNormal = 0x200000;  // 2 MiB
constexpr uint32_t kScratchpadHeavy = 0x400000;   // 4 MiB

// How the main loop derives the next line index in the division step.
enum class division_rule : uint8_t { none, d_xor_q, not_d_xor_q };

struct algorithm_info {
  int32_t id;
  const char* name;          // printed name, e.g. "CryptoNightV7"
  uint32_t scratchpad;       // bytes
  uint32_t iterations;       // main-loop passes
  uint32_t mask;             // scratchpad - 16
  bool heavy_fill;           // heavy fill and fold instead of plain
  uint8_t v7_shift;          // 0: no V7 tweak; else the shift of the byte-11 rule
  bool second_lane_xor_a0;   // stored high lane also XORed with the low lane
  division_rule division;    // division step of the heavy family
  bool inverted_aes;         // inverted-input AES round in the main loop
  bool v8;                   // V8 rules
  uint32_t min_blob_length;  // shorter blobs hash to 32 zero bytes
  const char* pool_name;     // name in the pools' algorithm negotiation, e.g. "cn/2"
  const char* pool_alias;    // a second accepted name, or nullptr
};

// The catalogue, indexed by id; constant so the hash routines can take
// their parameters at compile time. Columns: id, name, scratchpad,
// iterations, mask, heavy, v7 shift, lane xor a0, division, inverted aes,
// v8, minimum blob length, pool name, pool alias.
// clang-format off
inline constexpr algorithm_info kAlgorithms[kAlgoCount] = {
    {0, "CryptoNight", kScratchpadNormal, 0x80000, 0x1FFFF0, false, 0, false, division_rule::none, false, false, 0, "cn/0", nullptr},
    {1, "CryptoNightV7", kScratchpadNormal, 0x80000, 0x1FFFF0, false, 2, false, division_rule::none, false, false, 43, "cn/1", nullptr},
    {2, "CryptoNight-Heavy", kScratchpadHeavy, 0x40000, 0x3FFFF0, true, 0, false, division_rule::d_xor_q, false, false, 0, "cn-heavy/0", nullptr},
    {3, "CryptoNight-Lite", kScratchpadLight, 0x40000, 0x0FFFF0, false, 0, false, division_rule::none, false, false, 0, "cn-lite/0", nullptr},
    {4, "CryptoNightV7-Lite", kScratchpadLight, 0x40000, 0x0FFFF0, false, 2, false, division_rule::none, false, false, 43, "cn-lite/1", nullptr},
    {5, "CryptoNightTUBE-Heavy", kScratchpadHeavy, 0x40000, 0x3FFFF0, true, 2, true, division_rule::d_xor_q, true, false, 43, "cn-heavy/tube", nullptr},
    {6, "CryptoNightXTL", kScratchpadNormal, 0x80000, 0x1FFFF0, false, 3, false, division_rule::none, false, false, 43, "cn/xtl", nullptr},
    {7, "CryptoNightXHV-Heavy", kScratchpadHeavy, 0x40000, 0x3FFFF0, true, 0, false, division_rule::not_d_xor_q, false, false, 0, "cn-heavy/xhv", nullptr},
    {8, "CryptoNight-Fast", kScratchpadNormal, 0x40000, 0x1FFFF0, false, 2, false, division_rule::none, false, false, 43, "cn/msr", "cn/fast"},
    {9, "CryptoNightFEST", kScratchpadNormal, 0x80000, 0x1FFFF0, false, 2, true, division_rule::none, false, false, 43, "cn/rto", nullptr},
    {10, "CryptoNightV8", kScratchpadNormal, 0x80000, 0x1FFFF0, false, 0, false, division_rule::none, false, true, 0, "cn/2", nullptr},
};
// clang-format on

// The catalogue entry of an id, or nullptr outside 0..10.
const algorithm_info* find_algorithm(int32_t id);

// Printed name of an id; "CryptoNight" for ids outside 1..10.
const char* algorithm_name(int32_t id);

// Scratchpad bytes of an id: 2 MiB for -1 and ids above 10.
uint32_t scratchpad_size(int32_t id);

// Ids grouped by scratchpad size.
enum class size_class : uint8_t { light, normal, heavy };
size_class size_class_of(int32_t id);

// Algorithm of a job blob under auto detect, from byte 0 (major version).
int32_t detect_algorithm(uint8_t major_version);

// The id a pool names in a job's or the login's "algo" member (either the
// pool name or the alias of a row); -1 for a name this build cannot mine.
int32_t find_algorithm_by_pool_name(std::string_view name);

// True for the ids whose main loop uses the V7 tweak (1, 4, 5, 6, 8, 9).
bool uses_v7_tweak(int32_t id);

}  // namespace crypto
