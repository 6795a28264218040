// The algorithm catalogue: every member of the CryptoNight family the miner
// supports, keyed by a small signed id. Pure constant data; any thread.
#pragma once

#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>

namespace crypto {

// -1 is only a configuration value ("detect from the job's blob").
constexpr int32_t kAlgoAutoDetect = -1;

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

// The GPU self-test's known answer: with this target exactly these four
// nonces of the fixed test range pass (gpu/self_test.h defines the blob
// and the range; a unit test recomputes every answer with the CPU hash).
struct known_answer {
  uint32_t target;
  uint32_t nonces[4];  // ascending
};

struct algorithm_info {
  int32_t id;
  const char* name;          // printed name, e.g. "CryptoNightV7"; also the --algo help line
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
  // The OpenCL main kernel built for this row. Its position among a queue's
  // main kernels is fixed per row so indices stay put when rows are added;
  // the local size is the main launch's work-group size.
  const char* main_kernel;
  uint8_t main_kernel_slot;
  uint8_t main_local_size;
  const char* donation_port;  // port of the donation pool for this algorithm
  known_answer self_test;
};

// The catalogue, indexed by id; constant so the hash routines can take
// their parameters at compile time. Columns: id, name, scratchpad,
// iterations, mask, heavy, v7 shift, lane xor a0, division, inverted aes,
// v8, minimum blob length, pool name, pool alias, main kernel, its slot and
// local size, donation port, self-test answer {target, {nonces}}.
// clang-format off
inline constexpr algorithm_info kAlgorithms[] = {
    {0, "CryptoNight", kScratchpadNormal, 0x80000, 0x1FFFF0, false, 0, false, division_rule::none, false, false, 0, "cn/0", nullptr,
     "cryptonight_main", 0, 8, "7770", {0x16E7D63F, {0x00FFFFEE, 0x00FFFFF6, 0x00FFFFFE, 0x01000018}}},
    {1, "CryptoNightV7", kScratchpadNormal, 0x80000, 0x1FFFF0, false, 2, false, division_rule::none, false, false, 43, "cn/1", nullptr,
     "cryptonight_main_v7", 1, 8, "7770", {0x1EADDF6C, {0x00FFFFEB, 0x01000000, 0x01000003, 0x01000004}}},
    {2, "CryptoNight-Heavy", kScratchpadHeavy, 0x40000, 0x3FFFF0, true, 0, false, division_rule::d_xor_q, false, false, 0, "cn-heavy/0", nullptr,
     "cryptonight_main_heavy", 2, 8, "7773", {0x07689C03, {0x00FFFFE2, 0x00FFFFEB, 0x00FFFFFA, 0x0100001E}}},
    {3, "CryptoNight-Lite", kScratchpadLight, 0x40000, 0x0FFFF0, false, 0, false, division_rule::none, false, false, 0, "cn-lite/0", nullptr,
     "cryptonight_main_light", 3, 8, "7776", {0x1F822004, {0x00FFFFED, 0x00FFFFF0, 0x01000007, 0x0100001E}}},
    {4, "CryptoNightV7-Lite", kScratchpadLight, 0x40000, 0x0FFFF0, false, 2, false, division_rule::none, false, false, 43, "cn-lite/1", nullptr,
     "cryptonight_main_v7_light", 4, 8, "7776", {0x1F87B5BD, {0x00FFFFF3, 0x00FFFFF8, 0x01000016, 0x01000019}}},
    {5, "CryptoNightTUBE-Heavy", kScratchpadHeavy, 0x40000, 0x3FFFF0, true, 2, true, division_rule::d_xor_q, true, false, 43, "cn-heavy/tube", nullptr,
     "cryptonight_main_tube_heavy", 9, 8, "7773", {0x12F4DC90, {0x00FFFFE1, 0x00FFFFFB, 0x01000008, 0x01000014}}},
    {6, "CryptoNightXTL", kScratchpadNormal, 0x80000, 0x1FFFF0, false, 3, false, division_rule::none, false, false, 43, "cn/xtl", nullptr,
     "cryptonight_main_v7_xtl", 6, 8, "7770", {0x07853E12, {0x00FFFFE0, 0x00FFFFE3, 0x00FFFFE8, 0x01000009}}},
    {7, "CryptoNightXHV-Heavy", kScratchpadHeavy, 0x40000, 0x3FFFF0, true, 0, false, division_rule::not_d_xor_q, false, false, 0, "cn-heavy/xhv", nullptr,
     "cryptonight_main_xhv_heavy", 7, 8, "7773", {0x06FCA3FB, {0x00FFFFE9, 0x00FFFFF0, 0x00FFFFF3, 0x00FFFFFB}}},
    {8, "CryptoNight-Fast", kScratchpadNormal, 0x40000, 0x1FFFF0, false, 2, false, division_rule::none, false, false, 43, "cn/msr", "cn/fast",
     "cryptonight_main_v7_fast", 8, 8, "7778", {0x16509B25, {0x00FFFFEF, 0x0100000A, 0x01000014, 0x0100001F}}},
    {9, "CryptoNightFEST", kScratchpadNormal, 0x80000, 0x1FFFF0, false, 2, true, division_rule::none, false, false, 43, "cn/rto", nullptr,
     "cryptonight_main_v7_fest", 5, 8, "7770", {0x069643F7, {0x00FFFFF2, 0x00FFFFF4, 0x01000009, 0x01000015}}},
    {10, "CryptoNightV8", kScratchpadNormal, 0x80000, 0x1FFFF0, false, 0, false, division_rule::none, false, true, 0, "cn/2", nullptr,
     "cryptonight_main_v8", 10, 16, "7771", {0x10F439AA, {0x00FFFFE4, 0x00FFFFF5, 0x01000009, 0x0100000B}}},
};
// clang-format on

constexpr int32_t kAlgoCount = static_cast<int32_t>(std::size(kAlgorithms));

// The main-kernel variant number of a row: its rules packed into the bits
// the OpenCL main kernel decodes (CN_TWEAK_SHIFT and the macros next to it
// in cryptonight.cl), so a row that combines existing rules needs no new
// kernel code.
constexpr uint32_t kernel_variant(const algorithm_info& info) {
  return static_cast<uint32_t>(info.v7_shift) | (info.second_lane_xor_a0 ? 1u << 2 : 0u) |
         (static_cast<uint32_t>(info.division) << 3) | (info.inverted_aes ? 1u << 5 : 0u) |
         (info.v8 ? 1u << 6 : 0u) | (info.heavy_fill ? 1u << 7 : 0u);
}

// What the code built on the catalogue relies on; checked at compile time.
constexpr bool catalogue_is_consistent() {
  bool slot_used[std::size(kAlgorithms)] = {};
  for (int32_t i = 0; i < kAlgoCount; ++i) {
    const algorithm_info& info = kAlgorithms[i];
    if (info.id != i || info.mask != info.scratchpad - 16 || info.v7_shift > 3) return false;
    if (info.main_kernel_slot >= kAlgoCount || slot_used[info.main_kernel_slot]) return false;
    slot_used[info.main_kernel_slot] = true;
    if (info.main_local_size == 0 || info.iterations == 0) return false;
    if (info.self_test.nonces[0] >= info.self_test.nonces[1] ||
        info.self_test.nonces[1] >= info.self_test.nonces[2] ||
        info.self_test.nonces[2] >= info.self_test.nonces[3]) {
      return false;
    }
  }
  return true;
}
static_assert(catalogue_is_consistent(), "ids in order, masks, unique kernel slots, answers");

// The catalogue entry of an id, or nullptr outside 0..kAlgoCount-1.
const algorithm_info* find_algorithm(int32_t id);

// Printed name of an id; the name of id 0 for any id without a row.
const char* algorithm_name(int32_t id);

// Scratchpad bytes of an id: those of id 0 (2 MiB) for -1 and ids
// without a row.
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

// Port of the donation pool for an id; that of id 0 for ids without a row.
const char* donation_port(int32_t id);

// The --algo help text: "-1 for auto detect" and one line per row.
std::string algo_help_text();

}  // namespace crypto
