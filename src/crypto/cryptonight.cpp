#include "crypto/cryptonight.h"

#include <bit>
#include <cstring>
#include <string>
#include <utility>

#include "crypto/aes.h"
#include "crypto/algorithm.h"
#include "crypto/cn_gpu.h"
#include "crypto/cn_r_code.h"
#include "crypto/final_hash.h"
#include "crypto/keccak.h"
#include "crypto/lane_access.h"
#include "crypto/variant_rules.h"
#include "crypto/work_area.h"

namespace crypto {
namespace {

static_assert(std::endian::native == std::endian::little, "lanes are read little-endian in place");

// The eight 16-byte blocks that the fill and fold carry, with the ten
// round keys of one half of the state.
struct block_set {
  uint64_t lo[8];
  uint64_t hi[8];
  uint64_t keys[20];  // round key r = lanes 2r and 2r + 1

  block_set(const uint8_t* state, size_t key_offset) {
    uint32_t words[40];
    aes_expand_key(state + key_offset, words);
    for (int k = 0; k < 20; ++k)
      keys[k] = static_cast<uint64_t>(words[2 * k + 1]) << 32 | words[2 * k];
    for (int j = 0; j < 8; ++j) {
      lo[j] = load64(state + 64 + 16 * j);
      hi[j] = load64(state + 72 + 16 * j);
    }
  }

  // Ten rounds on every block; rounds outer so the eight blocks interleave.
  void ten_rounds() {
    for (int r = 0; r < 10; ++r) {
      for (int j = 0; j < 8; ++j) aes_round_lanes(lo[j], hi[j], keys[2 * r], keys[2 * r + 1]);
    }
  }

  // Heavy mix: x_j ^= x_(j+1), x7 ^= x0, all from the values before.
  void mix() {
    const uint64_t lo0 = lo[0], hi0 = hi[0];
    for (int j = 0; j < 7; ++j) {
      lo[j] ^= lo[j + 1];
      hi[j] ^= hi[j + 1];
    }
    lo[7] ^= lo0;
    hi[7] ^= hi0;
  }

  void xor_from(const uint8_t* p) {
    for (int j = 0; j < 8; ++j) {
      lo[j] ^= load64(p + 16 * j);
      hi[j] ^= load64(p + 16 * j + 8);
    }
  }

  void store_to(uint8_t* p) const {
    for (int j = 0; j < 8; ++j) {
      store64(p + 16 * j, lo[j]);
      store64(p + 16 * j + 8, hi[j]);
    }
  }
};

constexpr int kHeavyMixRounds = 16;

// Scratchpad fill from state bytes 0..31 (key) and 64..191 (blocks).
template <size_t Size, bool Heavy>
void fill_scratchpad(const uint8_t* state, uint8_t* pad) {
  block_set x(state, 0);
  if constexpr (Heavy) {
    for (int n = 0; n < kHeavyMixRounds; ++n) {
      x.ten_rounds();
      x.mix();
    }
  }
  for (size_t offset = 0; offset < Size; offset += 128) {
    x.ten_rounds();
    x.store_to(pad + offset);
  }
}

// Scratchpad fold into state bytes 64..191, key from state bytes 32..63.
template <size_t Size, bool Heavy>
void fold_scratchpad(uint8_t* state, const uint8_t* pad) {
  block_set x(state, 32);
  constexpr int kPasses = Heavy ? 2 : 1;
  for (int pass = 0; pass < kPasses; ++pass) {
    for (size_t offset = 0; offset < Size; offset += 128) {
      x.xor_from(pad + offset);
      x.ten_rounds();
      if constexpr (Heavy) x.mix();
    }
  }
  if constexpr (Heavy) {
    for (int n = 0; n < kHeavyMixRounds; ++n) {
      x.ten_rounds();
      x.mix();
    }
  }
  x.store_to(state + 64);
}

// The base loop family: base steps plus the V7 tweak, the inverted-input
// round, the division step and the conceal step, all chosen at compile time.
template <int32_t Id>
void main_loop(const uint64_t* s, uint8_t* pad, uint64_t tweak) {
  constexpr algorithm_info kInfo = kAlgorithms[Id];
  constexpr uint64_t kMask = kInfo.mask;
  constexpr bool kDivision = kInfo.division != division_rule::none;
  static_assert(!(kInfo.conceal && kInfo.inverted_aes), "the conceal step feeds the standard round");
  float conceal_acc[4] = {0.0f, 0.0f, 0.0f, 0.0f};

  uint64_t a0 = s[0] ^ s[4];
  uint64_t a1 = s[1] ^ s[5];
  uint64_t b0 = s[2] ^ s[6];
  uint64_t b1 = s[3] ^ s[7];
  uint64_t idx = a0;
  prefetch(pad + (idx & kMask));

  for (uint32_t iter = 0; iter < kInfo.iterations; ++iter) {
    uint8_t* line_i = pad + (idx & kMask);
    uint64_t c0, c1;
    if constexpr (kInfo.inverted_aes) {
      const uint32_t key[4] = {static_cast<uint32_t>(a0), static_cast<uint32_t>(a0 >> 32),
                               static_cast<uint32_t>(a1), static_cast<uint32_t>(a1 >> 32)};
      uint32_t words[4];
      std::memcpy(words, line_i, 16);
      aes_round_inverted_input(words, key, words);
      c0 = static_cast<uint64_t>(words[1]) << 32 | words[0];
      c1 = static_cast<uint64_t>(words[3]) << 32 | words[2];
    } else {
      c0 = load64(line_i);
      c1 = load64(line_i + 8);
      if constexpr (kInfo.conceal) {
        uint32_t words[4] = {static_cast<uint32_t>(c0), static_cast<uint32_t>(c0 >> 32),
                             static_cast<uint32_t>(c1), static_cast<uint32_t>(c1 >> 32)};
        conceal_words(words, conceal_acc);
        c0 = static_cast<uint64_t>(words[1]) << 32 | words[0];
        c1 = static_cast<uint64_t>(words[3]) << 32 | words[2];
      }
      aes_round_lanes(c0, c1, a0, a1);
    }

    uint64_t v1 = b1 ^ c1;
    if constexpr (kInfo.v7_shift != 0) {
      const uint8_t x = static_cast<uint8_t>(v1 >> 24);
      v1 ^= static_cast<uint64_t>(x ^ v7_tweak_byte11(x, kInfo.v7_shift)) << 24;
    }
    store64(line_i, b0 ^ c0);
    store64(line_i + 8, v1);

    uint8_t* line_j = pad + (c0 & kMask);
    prefetch(line_j);
    const uint64_t d0 = load64(line_j);
    const uint64_t d1 = load64(line_j + 8);
    const unsigned __int128 product = static_cast<unsigned __int128>(c0) * d0;
    a0 += static_cast<uint64_t>(product >> 64);
    a1 += static_cast<uint64_t>(product);
    store64(line_j, a0);
    if constexpr (kInfo.v7_shift == 0) {
      store64(line_j + 8, a1);
    } else if constexpr (kInfo.second_lane_xor_a0) {
      store64(line_j + 8, a1 ^ tweak ^ a0);
    } else {
      store64(line_j + 8, a1 ^ tweak);
    }
    a0 ^= d0;
    a1 ^= d1;

    if constexpr (kDivision) {
      uint8_t* line_k = pad + (a0 & kMask);
      const int64_t n = static_cast<int64_t>(load64(line_k));
      int32_t d;
      std::memcpy(&d, line_k + 8, sizeof(d));
      const int64_t q = heavy_quotient(n, d);
      store64(line_k, static_cast<uint64_t>(n ^ q));
      idx = heavy_next_index(d, q, kInfo.division == division_rule::not_d_xor_q);
    } else {
      idx = a0;
    }
    prefetch(pad + (idx & kMask));
    b0 = c0;
    b1 = c1;
  }
}

template <int32_t Id>
void main_loop_v8(const uint64_t* s, uint8_t* pad) {
  constexpr algorithm_info kInfo = kAlgorithms[Id];
  constexpr uint64_t kMask = kInfo.mask;

  uint64_t a[2] = {s[0] ^ s[4], s[1] ^ s[5]};
  uint64_t b[2] = {s[2] ^ s[6], s[3] ^ s[7]};
  uint64_t bb[2] = {s[8] ^ s[10], s[9] ^ s[11]};
  uint64_t division_result = s[12];
  uint64_t sqrt_result = s[13];
  prefetch(pad + (a[0] & kMask));

  for (uint32_t iter = 0; iter < kInfo.iterations; ++iter) {
    const uint64_t i = a[0] & kMask;
    uint8_t* line_i = pad + i;
    uint64_t c0 = load64(line_i);
    uint64_t c1 = load64(line_i + 8);
    aes_round_lanes(c0, c1, a[0], a[1]);
    v8_shuffle_block<kInfo.reverse_shuffle>(pad, i, bb, b, a);
    store64(line_i, b[0] ^ c0);
    store64(line_i + 8, b[1] ^ c1);

    const uint64_t j = c0 & kMask;
    uint8_t* line_j = pad + j;
    prefetch(line_j);
    const uint64_t d0 = load64(line_j) ^ division_result ^ (sqrt_result << 32);
    const uint64_t d1 = load64(line_j + 8);
    division_result = v8_division(c1, v8_divisor(c0, sqrt_result));
    const uint64_t sqrt_input = c0 + division_result;
    sqrt_result = v8_sqrt(sqrt_input);

    const unsigned __int128 product = static_cast<unsigned __int128>(c0) * d0;
    uint64_t hi = static_cast<uint64_t>(product >> 64);
    uint64_t lo = static_cast<uint64_t>(product);
    uint8_t* line_j1 = pad + (j ^ 0x10);
    uint8_t* line_j2 = pad + (j ^ 0x20);
    store64(line_j1, load64(line_j1) ^ hi);
    store64(line_j1 + 8, load64(line_j1 + 8) ^ lo);
    hi ^= load64(line_j2);
    lo ^= load64(line_j2 + 8);
    v8_shuffle_block<kInfo.reverse_shuffle>(pad, j, bb, b, a);

    a[0] += hi;
    a[1] += lo;
    store64(line_j, a[0]);
    store64(line_j + 8, a[1]);
    a[0] ^= d0;
    a[1] ^= d1;
    prefetch(pad + (a[0] & kMask));
    bb[0] = b[0];
    bb[1] = b[1];
    b[0] = c0;
    b[1] = c1;
  }
}

// The random loop's shuffle: the v8 rotation of the three neighbour lines,
// and the XOR of their old values into c.
inline void random_shuffle_block(uint8_t* pad, uint64_t offset, const uint64_t bb[2],
                                 const uint64_t b[2], const uint64_t a[2], uint64_t& c0,
                                 uint64_t& c1) {
  uint8_t* p1 = pad + (offset ^ 0x10);
  uint8_t* p2 = pad + (offset ^ 0x20);
  uint8_t* p3 = pad + (offset ^ 0x30);
  const uint64_t n10 = load64(p1), n11 = load64(p1 + 8);
  const uint64_t n20 = load64(p2), n21 = load64(p2 + 8);
  const uint64_t n30 = load64(p3), n31 = load64(p3 + 8);
  store64(p1, n30 + bb[0]);
  store64(p1 + 8, n31 + bb[1]);
  store64(p2, n10 + b[0]);
  store64(p2 + 8, n11 + b[1]);
  store64(p3, n20 + a[0]);
  store64(p3 + 8, n21 + a[1]);
  c0 ^= n10 ^ n20 ^ n30;
  c1 ^= n11 ^ n21 ^ n31;
}

// The random loop: the v8 loop without the division, square root and
// product mixing; the height's program runs on nine 32-bit registers
// (r0..r3 carried through the hash, r4..r8 taken from a, b and bb) and its
// result is folded into d before the multiply and into the next a.
template <int32_t Id>
void main_loop_random(const uint64_t* s, uint8_t* pad, const random_program_code& code) {
  constexpr algorithm_info kInfo = kAlgorithms[Id];
  constexpr uint64_t kMask = kInfo.mask;

  uint64_t a[2] = {s[0] ^ s[4], s[1] ^ s[5]};
  uint64_t b[2] = {s[2] ^ s[6], s[3] ^ s[7]};
  uint64_t bb[2] = {s[8] ^ s[10], s[9] ^ s[11]};
  uint32_t r[kRandomRegisters] = {static_cast<uint32_t>(s[12]), static_cast<uint32_t>(s[12] >> 32),
                                  static_cast<uint32_t>(s[13]), static_cast<uint32_t>(s[13] >> 32)};
  prefetch(pad + (a[0] & kMask));

  for (uint32_t iter = 0; iter < kInfo.iterations; ++iter) {
    const uint64_t i = a[0] & kMask;
    uint8_t* line_i = pad + i;
    uint64_t c0 = load64(line_i);
    uint64_t c1 = load64(line_i + 8);
    aes_round_lanes(c0, c1, a[0], a[1]);
    random_shuffle_block(pad, i, bb, b, a, c0, c1);
    store64(line_i, b[0] ^ c0);
    store64(line_i + 8, b[1] ^ c1);

    const uint64_t j = c0 & kMask;
    uint8_t* line_j = pad + j;
    prefetch(line_j);
    const uint64_t d0 = load64(line_j) ^ (static_cast<uint64_t>(r[0] + r[1]) |
                                          static_cast<uint64_t>(r[2] + r[3]) << 32);
    const uint64_t d1 = load64(line_j + 8);
    r[4] = static_cast<uint32_t>(a[0]);
    r[5] = static_cast<uint32_t>(a[1]);
    r[6] = static_cast<uint32_t>(b[0]);
    r[7] = static_cast<uint32_t>(bb[0]);
    r[8] = static_cast<uint32_t>(bb[1]);
    code.run(r);
    uint64_t x0 = a[0] ^ (r[2] | static_cast<uint64_t>(r[3]) << 32);
    uint64_t x1 = a[1] ^ (r[0] | static_cast<uint64_t>(r[1]) << 32);

    // The product takes c before the second shuffle changes it.
    const unsigned __int128 product = static_cast<unsigned __int128>(c0) * d0;
    random_shuffle_block(pad, j, bb, b, a, c0, c1);
    x0 += static_cast<uint64_t>(product >> 64);
    x1 += static_cast<uint64_t>(product);
    store64(line_j, x0);
    store64(line_j + 8, x1);
    a[0] = x0 ^ d0;
    a[1] = x1 ^ d1;
    prefetch(pad + (a[0] & kMask));
    bb[0] = b[0];
    bb[1] = b[1];
    b[0] = c0;
    b[1] = c1;
  }
}

// The whole hash of one id: length rule, absorption, fill, main loop,
// fold, permutation and final hash (or the state itself). `code` is the
// height's program for the random loop (nullptr for the others).
template <int32_t Id>
void hash_with(uint8_t* memory, const uint8_t* blob, size_t length, uint8_t* out,
               const random_program_code* code) {
  constexpr algorithm_info kInfo = kAlgorithms[Id];
  if (length < kInfo.min_blob_length) {
    std::memset(out, 0, 32);
    return;
  }
  auto* state = reinterpret_cast<uint64_t*>(memory);
  uint8_t* pad = memory + kScratchpadOffset;
  keccak1600(blob, length, state);

  if constexpr (kInfo.keccak_fill) {
    static_assert(kInfo.scratchpad == kCnGpuScratchpad && kInfo.mask == kCnGpuMask);
    cn_gpu_fill(state, pad);
  } else {
    fill_scratchpad<kInfo.scratchpad, kInfo.heavy_fill>(memory, pad);
  }
  if constexpr (kInfo.loop == loop_family::v8) {
    main_loop_v8<Id>(state, pad);
  } else if constexpr (kInfo.loop == loop_family::random) {
    main_loop_random<Id>(state, pad, *code);
  } else if constexpr (kInfo.loop == loop_family::float_chains) {
    cn_gpu_loop_state loop = cn_gpu_loop_start(memory);
    cn_gpu_loop(pad, kInfo.iterations, loop);
  } else {
    static_assert(kInfo.loop == loop_family::base, "a loop family without a CPU loop");
    const uint64_t tweak = kInfo.v7_shift != 0 ? v7_tweak_value(state[24], blob) : 0;
    main_loop<Id>(state, pad, tweak);
  }
  fold_scratchpad<kInfo.scratchpad, kInfo.heavy_fill>(memory, pad);

  keccakf(state, 24);
  if constexpr (kInfo.final_step == final_rule::state) {
    std::memcpy(out, memory, 32);
  } else {
    final_hash(memory, out);
  }
}

static_assert(kScratchpadOffset >= kKeccakStateBytes);
static_assert(kWorkAreaSize == kScratchpadOffset + kScratchpadHeavy);

}  // namespace

base::status CryptoNight::create(std::unique_ptr<CryptoNight>& out) {
  out.reset();
  uint8_t* area = allocate_work_area(kWorkAreaSize);
  if (area == nullptr) {
    return base::status::error(base::status_code::kIoError, "CryptoNight: cannot allocate the " +
                                                                std::to_string(kWorkAreaSize) +
                                                                "-byte hash work area");
  }
  out.reset(new CryptoNight(area, owned_area{}));
  return base::status::ok();
}

CryptoNight::CryptoNight(uint8_t* work_area) : memory_(work_area) {}

CryptoNight::CryptoNight(uint8_t* work_area, owned_area) : memory_(work_area), owned_(true) {}

CryptoNight::~CryptoNight() {
  if (owned_) free_work_area(memory_);
  memory_ = nullptr;
}

void CryptoNight::hash(int32_t algorithm, const uint8_t* blob, size_t length, uint8_t* out,
                       uint64_t height) {
  const algorithm_info* info = find_algorithm(algorithm);
  if (info == nullptr) return;  // an id without a row leaves out as the caller set it
  if (info->loop == loop_family::random &&
      (random_code_ == nullptr || random_code_->height() != height)) {
    random_code_ = std::make_unique<random_program_code>(height);
  }
  // One instance of the hash per catalogue row.
  [&]<int32_t... Ids>(std::integer_sequence<int32_t, Ids...>) {
    ((algorithm == Ids ? hash_with<Ids>(memory_, blob, length, out, random_code_.get()) : void()),
     ...);
  }(std::make_integer_sequence<int32_t, kAlgoCount>());
}

}  // namespace crypto
