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
  kCryptoNightHalf = 11,
  kCryptoNightRwz = 12,
  kCryptoNightZls = 13,
  kCryptoNightDouble = 14,
  kCryptoNightXao = 15,
  kCryptoNightCcx = 16,
  kCryptoNightPico = 17,
  kCryptoNightPicoTlo = 18,
  kCryptoNightUpx2 = 19,
  kCryptoNightR = 20,
  kCryptoNightGpu = 21,
};

constexpr uint32_t kScratchpad128K = 0x20000;   // 128 KiB
constexpr uint32_t kScratchpad256K = 0x40000;   // 256 KiB
constexpr uint32_t kScratchpadLight = 0x100000;   // 1 MiB
constexpr uint32_t kScratchpadNormal = 0x200000;  // 2 MiB
constexpr uint32_t kScratchpadHeavy = 0x400000;   // 4 MiB

// How the main loop derives the next line index in the division step.
enum class division_rule : uint8_t { none, d_xor_q, not_d_xor_q };

// The main loop's body. base: the original loop with the optional V7
// tweak, division step, inverted AES round and conceal step; v8: the loop
// with the line shuffles, division and square root; random: the v8 loop
// with the division and square root replaced by a program generated from
// the job's block height (an input of the hash); float_chains: the
// single-precision loop over 64-byte groups (crypto/cn_gpu.h), sixteen
// chains per iteration, split over sixteen work items on a GPU. A loop that
// is none of these is a new value here, with its own loop on the CPU and in
// the kernel.
enum class loop_family : uint8_t { base = 0, v8 = 1, random = 2, float_chains = 3 };

// The 32 bytes a hash ends with. choice: BLAKE-256, Groestl, JH or Skein of
// the final Keccak state, picked by its byte 0; state: the first 32 bytes
// of that state itself.
enum class final_rule : uint8_t { choice = 0, state = 1 };

// The GPU self-test's known answer: with this target exactly these four
// nonces of the fixed test range pass (gpu/self_test.h defines the blob,
// the range and the height; a unit test recomputes every answer with the
// CPU hash).
struct known_answer {
  uint32_t target;
  uint32_t nonces[4];  // ascending
};

struct algorithm_info {
  int32_t id = 0;
  const char* name = nullptr;  // printed name, e.g. "CryptoNightV7"; also the --algo help line
  uint32_t scratchpad = kScratchpadNormal;  // bytes
  uint32_t iterations = 0;     // main-loop passes
  uint32_t mask = 0;           // line offset mask; the natural one is scratchpad - 16
  bool heavy_fill = false;     // heavy fill and fold instead of plain
  // The pad is filled with Keccak-f output instead of AES rounds (the fold
  // still follows heavy_fill).
  bool keccak_fill = false;
  uint8_t v7_shift = 0;        // 0: no V7 tweak; else the shift of the byte-11 rule
  bool second_lane_xor_a0 = false;  // stored high lane also XORed with the low lane
  division_rule division = division_rule::none;  // division step of the heavy family
  bool inverted_aes = false;   // inverted-input AES round in the main loop
  loop_family loop = loop_family::base;
  bool reverse_shuffle = false;  // v8 loop: at both shuffles 0x10 stays, 0x20 and 0x30 trade
  bool conceal = false;          // base loop: the float conceal step before the AES round
  final_rule final_step = final_rule::choice;
  uint32_t min_blob_length = 0;  // shorter blobs hash to 32 zero bytes
  // Names in the pools' algorithm negotiation, compared without regard to
  // case: the pool name (e.g. "cn/2") and an alias are sent in the login's
  // list; other_names (space-separated) are only accepted.
  const char* pool_name = nullptr;
  const char* pool_alias = nullptr;
  const char* other_names = "";
  // The OpenCL main kernel built for this row. Its position among a queue's
  // main kernels is fixed per row so indices stay put when rows are added;
  // the local size is the main launch's work-group size, of which
  // main_items_per_hash work items share one hash.
  const char* main_kernel = nullptr;
  uint8_t main_kernel_slot = 0;
  uint8_t main_local_size = 8;
  uint8_t main_items_per_hash = 1;
  const char* donation_port = nullptr;  // port of the donation pool for this algorithm
  known_answer self_test = {};
};

// The catalogue, indexed by id; constant so the hash routines can take
// their parameters at compile time. Rows name the columns they set; the
// others keep the defaults above.
// clang-format off
inline constexpr algorithm_info kAlgorithms[] = {
    {.id = 0, .name = "CryptoNight", .iterations = 0x80000, .mask = 0x1FFFF0,
     .pool_name = "cn/0", .main_kernel = "cryptonight_main", .main_kernel_slot = 0,
     .donation_port = "7770", .self_test = {0x16E7D63F, {0x00FFFFEE, 0x00FFFFF6, 0x00FFFFFE, 0x01000018}}},
    {.id = 1, .name = "CryptoNightV7", .iterations = 0x80000, .mask = 0x1FFFF0, .v7_shift = 2,
     .min_blob_length = 43, .pool_name = "cn/1", .main_kernel = "cryptonight_main_v7", .main_kernel_slot = 1,
     .donation_port = "7770", .self_test = {0x1EADDF6C, {0x00FFFFEB, 0x01000000, 0x01000003, 0x01000004}}},
    {.id = 2, .name = "CryptoNight-Heavy", .scratchpad = kScratchpadHeavy, .iterations = 0x40000,
     .mask = 0x3FFFF0, .heavy_fill = true, .division = division_rule::d_xor_q,
     .pool_name = "cn-heavy/0", .main_kernel = "cryptonight_main_heavy", .main_kernel_slot = 2,
     .donation_port = "7773", .self_test = {0x07689C03, {0x00FFFFE2, 0x00FFFFEB, 0x00FFFFFA, 0x0100001E}}},
    {.id = 3, .name = "CryptoNight-Lite", .scratchpad = kScratchpadLight, .iterations = 0x40000,
     .mask = 0x0FFFF0, .pool_name = "cn-lite/0", .main_kernel = "cryptonight_main_light", .main_kernel_slot = 3,
     .donation_port = "7776", .self_test = {0x1F822004, {0x00FFFFED, 0x00FFFFF0, 0x01000007, 0x0100001E}}},
    {.id = 4, .name = "CryptoNightV7-Lite", .scratchpad = kScratchpadLight, .iterations = 0x40000,
     .mask = 0x0FFFF0, .v7_shift = 2, .min_blob_length = 43, .pool_name = "cn-lite/1",
     .main_kernel = "cryptonight_main_v7_light", .main_kernel_slot = 4,
     .donation_port = "7776", .self_test = {0x1F87B5BD, {0x00FFFFF3, 0x00FFFFF8, 0x01000016, 0x01000019}}},
    {.id = 5, .name = "CryptoNightTUBE-Heavy", .scratchpad = kScratchpadHeavy, .iterations = 0x40000,
     .mask = 0x3FFFF0, .heavy_fill = true, .v7_shift = 2, .second_lane_xor_a0 = true,
     .division = division_rule::d_xor_q, .inverted_aes = true, .min_blob_length = 43,
     .pool_name = "cn-heavy/tube", .main_kernel = "cryptonight_main_tube_heavy", .main_kernel_slot = 9,
     .donation_port = "7773", .self_test = {0x12F4DC90, {0x00FFFFE1, 0x00FFFFFB, 0x01000008, 0x01000014}}},
    {.id = 6, .name = "CryptoNightXTL", .iterations = 0x80000, .mask = 0x1FFFF0, .v7_shift = 3,
     .min_blob_length = 43, .pool_name = "cn/xtl", .main_kernel = "cryptonight_main_v7_xtl", .main_kernel_slot = 6,
     .donation_port = "7770", .self_test = {0x07853E12, {0x00FFFFE0, 0x00FFFFE3, 0x00FFFFE8, 0x01000009}}},
    {.id = 7, .name = "CryptoNightXHV-Heavy", .scratchpad = kScratchpadHeavy, .iterations = 0x40000,
     .mask = 0x3FFFF0, .heavy_fill = true, .division = division_rule::not_d_xor_q,
     .pool_name = "cn-heavy/xhv", .main_kernel = "cryptonight_main_xhv_heavy", .main_kernel_slot = 7,
     .donation_port = "7773", .self_test = {0x06FCA3FB, {0x00FFFFE9, 0x00FFFFF0, 0x00FFFFF3, 0x00FFFFFB}}},
    {.id = 8, .name = "CryptoNight-Fast", .iterations = 0x40000, .mask = 0x1FFFF0, .v7_shift = 2,
     .min_blob_length = 43, .pool_name = "cn/msr", .pool_alias = "cn/fast",
     .main_kernel = "cryptonight_main_v7_fast", .main_kernel_slot = 8,
     .donation_port = "7778", .self_test = {0x16509B25, {0x00FFFFEF, 0x0100000A, 0x01000014, 0x0100001F}}},
    {.id = 9, .name = "CryptoNightFEST", .iterations = 0x80000, .mask = 0x1FFFF0, .v7_shift = 2,
     .second_lane_xor_a0 = true, .min_blob_length = 43, .pool_name = "cn/rto",
     .main_kernel = "cryptonight_main_v7_fest", .main_kernel_slot = 5,
     .donation_port = "7770", .self_test = {0x069643F7, {0x00FFFFF2, 0x00FFFFF4, 0x01000009, 0x01000015}}},
    {.id = 10, .name = "CryptoNightV8", .iterations = 0x80000, .mask = 0x1FFFF0, .loop = loop_family::v8,
     .pool_name = "cn/2", .main_kernel = "cryptonight_main_v8", .main_kernel_slot = 10, .main_local_size = 16,
     .donation_port = "7771", .self_test = {0x10F439AA, {0x00FFFFE4, 0x00FFFFF5, 0x01000009, 0x0100000B}}},
    // The members of 2019: the rules above with other sizes, passes and
    // masks, plus the reversed shuffle and the conceal step.
    {.id = 11, .name = "CryptoNight-Half", .iterations = 0x40000, .mask = 0x1FFFF0, .loop = loop_family::v8,
     .pool_name = "cn/half", .other_names = "cryptonight/half cn/xtlv9 cryptonight/xtlv9",
     .main_kernel = "cryptonight_main_v8_half", .main_kernel_slot = 11, .main_local_size = 16,
     .donation_port = "7770", .self_test = {0x09A1E7F1, {0x00FFFFE3, 0x00FFFFFD, 0x01000011, 0x0100001B}}},
    {.id = 12, .name = "CryptoNight-RWZ", .iterations = 0x60000, .mask = 0x1FFFF0, .loop = loop_family::v8,
     .reverse_shuffle = true, .pool_name = "cn/rwz", .other_names = "cryptonight/rwz",
     .main_kernel = "cryptonight_main_v8_rwz", .main_kernel_slot = 12, .main_local_size = 16,
     .donation_port = "7770", .self_test = {0x0E4BF3D7, {0x00FFFFF7, 0x00FFFFFB, 0x01000012, 0x01000019}}},
    {.id = 13, .name = "CryptoNight-ZLS", .iterations = 0x60000, .mask = 0x1FFFF0, .loop = loop_family::v8,
     .pool_name = "cn/zls", .other_names = "cryptonight/zls",
     .main_kernel = "cryptonight_main_v8_zls", .main_kernel_slot = 13, .main_local_size = 16,
     .donation_port = "7770", .self_test = {0x08B92417, {0x00FFFFE0, 0x00FFFFEA, 0x0100000F, 0x01000013}}},
    {.id = 14, .name = "CryptoNight-Double", .iterations = 0x100000, .mask = 0x1FFFF0, .loop = loop_family::v8,
     .pool_name = "cn/double", .other_names = "cryptonight/double",
     .main_kernel = "cryptonight_main_v8_double", .main_kernel_slot = 14, .main_local_size = 16,
     .donation_port = "7770", .self_test = {0x0E5E575C, {0x00FFFFF5, 0x01000000, 0x0100000A, 0x0100001D}}},
    {.id = 15, .name = "CryptoNight-XAO", .iterations = 0x100000, .mask = 0x1FFFF0,
     .pool_name = "cn/xao", .other_names = "cryptonight/xao cryptonight_alloy",
     .main_kernel = "cryptonight_main_xao", .main_kernel_slot = 15,
     .donation_port = "7770", .self_test = {0x2DC2108C, {0x00FFFFE0, 0x00FFFFE6, 0x01000006, 0x01000011}}},
    {.id = 16, .name = "CryptoNight-CCX", .iterations = 0x40000, .mask = 0x1FFFF0, .conceal = true,
     .pool_name = "cn/ccx", .other_names = "cryptonight/ccx cn/conceal cryptonight/conceal cryptonight_conceal",
     .main_kernel = "cryptonight_main_ccx", .main_kernel_slot = 16,
     .donation_port = "7770", .self_test = {0x09C7EF6F, {0x00FFFFEA, 0x0100000C, 0x0100000D, 0x0100000E}}},
    // cn-pico/0 walks only the first half of its pad (mask 0x1FFF0), while
    // the fill and the fold still cover all 256 KiB.
    {.id = 17, .name = "CryptoNight-Pico", .scratchpad = kScratchpad256K, .iterations = 0x10000,
     .mask = 0x1FFF0, .loop = loop_family::v8, .pool_name = "cn-pico", .pool_alias = "cn-pico/trtl",
     .other_names = "cn-pico/0 cryptonight-pico cryptonight-pico/trtl cryptonight-turtle cn-trtl "
                    "cryptonight-ultralite cn-ultralite cryptonight_turtle cn_turtle",
     .main_kernel = "cryptonight_main_pico", .main_kernel_slot = 17, .main_local_size = 16,
     .donation_port = "7774", .self_test = {0x0D939C48, {0x01000001, 0x01000006, 0x01000007, 0x01000019}}},
    {.id = 18, .name = "CryptoNight-PicoTLO", .scratchpad = kScratchpad256K, .iterations = 0x10000,
     .mask = 0x3FFF0, .loop = loop_family::v8, .pool_name = "cn-pico/tlo",
     .other_names = "cryptonight-pico/tlo cn/ultra cryptonight/ultra cryptonight-talleo cn-talleo "
                    "cryptonight_talleo cn_talleo",
     .main_kernel = "cryptonight_main_pico_tlo", .main_kernel_slot = 18, .main_local_size = 16,
     .donation_port = "7774", .self_test = {0x12E579AB, {0x00FFFFEE, 0x00FFFFF9, 0x01000008, 0x0100000A}}},
    {.id = 19, .name = "CryptoNight-UPX2", .scratchpad = kScratchpad128K, .iterations = 0x4000,
     .mask = 0x1FFF0, .loop = loop_family::v8, .reverse_shuffle = true, .pool_name = "cn/upx2",
     .other_names = "cryptonight/upx2 cn-extremelite/upx2 cryptonight-upx/2",
     .main_kernel = "cryptonight_main_upx2", .main_kernel_slot = 19, .main_local_size = 16,
     .donation_port = "7775", .self_test = {0x1583B1A4, {0x00FFFFF8, 0x00FFFFF9, 0x0100000B, 0x01000013}}},
    // Blocks of major version 10 and 11: the hash depends on the job's height.
    {.id = 20, .name = "CryptoNightR", .iterations = 0x80000, .mask = 0x1FFFF0, .loop = loop_family::random,
     .pool_name = "cn/r", .other_names = "cryptonight/r",
     .main_kernel = "cryptonight_main_r", .main_kernel_slot = 20, .main_local_size = 16,
     .donation_port = "7771", .self_test = {0x0CD02EF1, {0x00FFFFE2, 0x00FFFFEB, 0x00FFFFFD, 0x01000011}}},
    // Keccak fill, the float loop on 64-byte groups, the heavy fold over
    // 2 MiB, and the Keccak state as the hash. Sixteen work items per hash,
    // eight hashes per main work-group.
    {.id = 21, .name = "CryptoNight-GPU", .iterations = 0xC000, .mask = 0x1FFFC0, .heavy_fill = true,
     .keccak_fill = true, .loop = loop_family::float_chains, .final_step = final_rule::state,
     .pool_name = "cn/gpu", .other_names = "cryptonight/gpu cryptonight_gpu",
     .main_kernel = "cryptonight_main_gpu", .main_kernel_slot = 21, .main_local_size = 128,
     .main_items_per_hash = 16,
     .donation_port = "7770", .self_test = {0x156DDD57, {0x00FFFFE8, 0x00FFFFEB, 0x00FFFFF1, 0x00FFFFFA}}},
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
         (static_cast<uint32_t>(info.loop) << 6) | (info.heavy_fill ? 1u << 8 : 0u) |
         (info.reverse_shuffle ? 1u << 9 : 0u) | (info.conceal ? 1u << 10 : 0u) |
         (info.keccak_fill ? 1u << 11 : 0u) |
         (static_cast<uint32_t>(info.final_step) << 12);
}

// What the code built on the catalogue relies on; checked at compile time.
constexpr bool catalogue_is_consistent() {
  bool slot_used[std::size(kAlgorithms)] = {};
  for (int32_t i = 0; i < kAlgoCount; ++i) {
    const algorithm_info& info = kAlgorithms[i];
    if (info.id != i || info.name == nullptr || info.pool_name == nullptr) return false;
    // Every line a mask reaches, with its whole 64-byte block, lies in the
    // pad; the float loop's mask selects whole 64-byte groups.
    const uint32_t mask_tail = info.loop == loop_family::float_chains ? 0 : 0x30;
    if (info.mask % 64 != mask_tail || info.mask >= info.scratchpad || info.scratchpad % 128 != 0) {
      return false;
    }
    // The Keccak fill and the float loop come together: neither is written
    // for another loop or fill.
    if (info.keccak_fill != (info.loop == loop_family::float_chains)) return false;
    if (info.main_items_per_hash == 0 || info.main_local_size % info.main_items_per_hash != 0) {
      return false;
    }
    if (info.v7_shift > 3) return false;
    // The reversed shuffle belongs to the v8 loop, the conceal step to the base loop.
    if ((info.reverse_shuffle && info.loop != loop_family::v8) ||
        (info.conceal && info.loop != loop_family::base)) {
      return false;
    }
    if (info.main_kernel == nullptr || info.main_kernel_slot >= kAlgoCount ||
        slot_used[info.main_kernel_slot]) {
      return false;
    }
    slot_used[info.main_kernel_slot] = true;
    if (info.main_local_size == 0 || info.iterations == 0 || info.donation_port == nullptr) return false;
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
enum class size_class : uint8_t { light, normal, heavy, pico, extreme_lite };
size_class size_class_of(int32_t id);

// Algorithm of a job blob under auto detect, from byte 0 (major version):
// 0-1 cn/0, 2-7 cn/1, 8-9 cn/2, 10-11 cn/r; kAlgoNotDetected for 12 and
// above, which are not blobs of this family.
constexpr int32_t kAlgoNotDetected = -3;
int32_t detect_algorithm(uint8_t major_version);

// The id a pool names in a job's or the login's "algo" member: the pool
// name, the alias or one of the other names of a row, in any case; -1 for
// a name this build cannot mine.
int32_t find_algorithm_by_pool_name(std::string_view name);

// An --algo value (command line, config file, tools): a decimal id, which
// the caller range-checks (-1 is auto detect), or a name that
// find_algorithm_by_pool_name knows. False for anything else.
bool parse_algorithm_argument(std::string_view text, int32_t& id);

// True for the ids whose main loop uses the V7 tweak (1, 4, 5, 6, 8, 9).
bool uses_v7_tweak(int32_t id);

// Port of the donation pool for an id; that of id 0 for ids without a row.
const char* donation_port(int32_t id);

// The --algo help text: "-1 for auto detect" and one line per row with its
// id, printed name and pool name.
std::string algo_help_text();

}  // namespace crypto
