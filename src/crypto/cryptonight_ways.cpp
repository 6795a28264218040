#include "crypto/cryptonight_ways.h"

#include <cstring>
#include <utility>

#include "crypto/aes.h"
#include "crypto/algorithm.h"
#include "crypto/cryptonight.h"
#include "crypto/final_hash.h"
#include "crypto/lane_access.h"
#include "crypto/keccak.h"
#include "crypto/variant_rules.h"

#if defined(__x86_64__)
#include <immintrin.h>
#define ORBECK_AES_PATH 1
#define ORBECK_AES_TARGET __attribute__((target("aes,sse2")))
#else
#define ORBECK_AES_PATH 0
#endif

namespace crypto {
namespace {

constexpr bool fast_path_serves(const algorithm_info& info) {
  return (info.loop == loop_family::base || info.loop == loop_family::v8) && !info.inverted_aes && !info.conceal;
}

// The reference, one blob after the other, in the callers' work areas.
void hash_each(int32_t algorithm, int ways, uint8_t* work_areas, const uint8_t* const* blobs, size_t length,
               uint8_t* const* outs) {
  for (int w = 0; w < ways; ++w) {
    CryptoNight hasher(work_areas + static_cast<size_t>(w) * kWayStride);
    hasher.hash(algorithm, blobs[w], length, outs[w]);
  }
}

#if ORBECK_AES_PATH

// The fill and fold's eight blocks and ten round keys in SSE registers.
struct sse_blocks {
  __m128i x[8];
  __m128i keys[10];

  ORBECK_AES_TARGET void load(const uint8_t* state, size_t key_offset) {
    uint32_t words[40];
    aes_expand_key(state + key_offset, words);
    for (int k = 0; k < 10; ++k) keys[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(words + 4 * k));
    for (int j = 0; j < 8; ++j) x[j] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 64 + 16 * j));
  }
  ORBECK_AES_TARGET void ten_rounds() {
    for (int r = 0; r < 10; ++r)
      for (int j = 0; j < 8; ++j) x[j] = _mm_aesenc_si128(x[j], keys[r]);
  }
  // Heavy mix: x_j ^= x_(j+1), x7 ^= x0, all from the values before.
  ORBECK_AES_TARGET void mix() {
    const __m128i first = x[0];
    for (int j = 0; j < 7; ++j) x[j] = _mm_xor_si128(x[j], x[j + 1]);
    x[7] = _mm_xor_si128(x[7], first);
  }
};

template <size_t Size, bool Heavy>
ORBECK_AES_TARGET void fill_aes(const uint8_t* state, uint8_t* pad) {
  sse_blocks b;
  b.load(state, 0);
  if constexpr (Heavy) {
    for (int n = 0; n < 16; ++n) {
      b.ten_rounds();
      b.mix();
    }
  }
  for (size_t offset = 0; offset < Size; offset += 128) {
    b.ten_rounds();
    for (int j = 0; j < 8; ++j) _mm_store_si128(reinterpret_cast<__m128i*>(pad + offset + 16 * j), b.x[j]);
  }
}

template <size_t Size, bool Heavy>
ORBECK_AES_TARGET void fold_aes(uint8_t* state, const uint8_t* pad) {
  sse_blocks b;
  b.load(state, 32);
  constexpr int kPasses = Heavy ? 2 : 1;
  for (int pass = 0; pass < kPasses; ++pass) {
    for (size_t offset = 0; offset < Size; offset += 128) {
      for (int j = 0; j < 8; ++j)
        b.x[j] = _mm_xor_si128(b.x[j], _mm_load_si128(reinterpret_cast<const __m128i*>(pad + offset + 16 * j)));
      b.ten_rounds();
      if constexpr (Heavy) b.mix();
    }
  }
  if constexpr (Heavy) {
    for (int n = 0; n < 16; ++n) {
      b.ten_rounds();
      b.mix();
    }
  }
  for (int j = 0; j < 8; ++j) _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 64 + 16 * j), b.x[j]);
}

// One AES round on a scratchpad line, the key as two lanes; the result as
// two lanes.
ORBECK_AES_TARGET inline void aes_round_line(const uint8_t* line, uint64_t key_lo, uint64_t key_hi, uint64_t& lo,
                                             uint64_t& hi) {
  const __m128i x = _mm_aesenc_si128(_mm_load_si128(reinterpret_cast<const __m128i*>(line)),
                                     _mm_set_epi64x(static_cast<long long>(key_hi), static_cast<long long>(key_lo)));
  lo = static_cast<uint64_t>(_mm_cvtsi128_si64(x));
  hi = static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(x, x)));
}

// The base loop for N hashes, step by step in turn: the same steps as the
// reference's main_loop, on N independent states.
template <int32_t Id, int N>
ORBECK_AES_TARGET void base_loop_ways(uint64_t* const* s, uint8_t* const* pad, const uint64_t* tweak) {
  constexpr algorithm_info kInfo = kAlgorithms[Id];
  constexpr uint64_t kMask = kInfo.mask;
  constexpr bool kDivision = kInfo.division != division_rule::none;
  uint64_t a0[N], a1[N], b0[N], b1[N], idx[N];
  for (int w = 0; w < N; ++w) {
    a0[w] = s[w][0] ^ s[w][4];
    a1[w] = s[w][1] ^ s[w][5];
    b0[w] = s[w][2] ^ s[w][6];
    b1[w] = s[w][3] ^ s[w][7];
    idx[w] = a0[w];
    prefetch(pad[w] + (idx[w] & kMask));
  }
  for (uint32_t iter = 0; iter < kInfo.iterations; ++iter) {
    for (int w = 0; w < N; ++w) {
      uint8_t* p = pad[w];
      uint8_t* line_i = p + (idx[w] & kMask);
      uint64_t c0, c1;
      aes_round_line(line_i, a0[w], a1[w], c0, c1);
      uint64_t v1 = b1[w] ^ c1;
      if constexpr (kInfo.v7_shift != 0) {
        const uint8_t x = static_cast<uint8_t>(v1 >> 24);
        v1 ^= static_cast<uint64_t>(x ^ v7_tweak_byte11(x, kInfo.v7_shift)) << 24;
      }
      store64(line_i, b0[w] ^ c0);
      store64(line_i + 8, v1);

      uint8_t* line_j = p + (c0 & kMask);
      const uint64_t d0 = load64(line_j);
      const uint64_t d1 = load64(line_j + 8);
      const unsigned __int128 product = static_cast<unsigned __int128>(c0) * d0;
      a0[w] += static_cast<uint64_t>(product >> 64);
      a1[w] += static_cast<uint64_t>(product);
      store64(line_j, a0[w]);
      if constexpr (kInfo.v7_shift == 0) {
        store64(line_j + 8, a1[w]);
      } else if constexpr (kInfo.second_lane_xor_a0) {
        store64(line_j + 8, a1[w] ^ tweak[w] ^ a0[w]);
      } else {
        store64(line_j + 8, a1[w] ^ tweak[w]);
      }
      a0[w] ^= d0;
      a1[w] ^= d1;
      if constexpr (kDivision) {
        uint8_t* line_k = p + (a0[w] & kMask);
        const int64_t n = static_cast<int64_t>(load64(line_k));
        int32_t d;
        std::memcpy(&d, line_k + 8, sizeof(d));
        const int64_t q = heavy_quotient(n, d);
        store64(line_k, static_cast<uint64_t>(n ^ q));
        idx[w] = heavy_next_index(d, q, kInfo.division == division_rule::not_d_xor_q);
      } else {
        idx[w] = a0[w];
      }
      prefetch(p + (idx[w] & kMask));
      b0[w] = c0;
      b1[w] = c1;
    }
  }
}

// The V8 loop for N hashes, as the reference's main_loop_v8 on N states.
template <int32_t Id, int N>
ORBECK_AES_TARGET void v8_loop_ways(uint64_t* const* s, uint8_t* const* pad) {
  constexpr algorithm_info kInfo = kAlgorithms[Id];
  constexpr uint64_t kMask = kInfo.mask;
  uint64_t a[N][2], b[N][2], bb[N][2], division_result[N], sqrt_result[N];
  for (int w = 0; w < N; ++w) {
    a[w][0] = s[w][0] ^ s[w][4];
    a[w][1] = s[w][1] ^ s[w][5];
    b[w][0] = s[w][2] ^ s[w][6];
    b[w][1] = s[w][3] ^ s[w][7];
    bb[w][0] = s[w][8] ^ s[w][10];
    bb[w][1] = s[w][9] ^ s[w][11];
    division_result[w] = s[w][12];
    sqrt_result[w] = s[w][13];
    prefetch(pad[w] + (a[w][0] & kMask));
  }
  for (uint32_t iter = 0; iter < kInfo.iterations; ++iter) {
    for (int w = 0; w < N; ++w) {
      uint8_t* p = pad[w];
      const uint64_t i = a[w][0] & kMask;
      uint8_t* line_i = p + i;
      uint64_t c0, c1;
      aes_round_line(line_i, a[w][0], a[w][1], c0, c1);
      v8_shuffle_block<kInfo.reverse_shuffle>(p, i, bb[w], b[w], a[w]);
      store64(line_i, b[w][0] ^ c0);
      store64(line_i + 8, b[w][1] ^ c1);

      const uint64_t j = c0 & kMask;
      uint8_t* line_j = p + j;
      const uint64_t d0 = load64(line_j) ^ division_result[w] ^ (sqrt_result[w] << 32);
      const uint64_t d1 = load64(line_j + 8);
      division_result[w] = v8_division(c1, v8_divisor(c0, sqrt_result[w]));
      sqrt_result[w] = v8_sqrt(c0 + division_result[w]);

      const unsigned __int128 product = static_cast<unsigned __int128>(c0) * d0;
      uint64_t hi = static_cast<uint64_t>(product >> 64);
      uint64_t lo = static_cast<uint64_t>(product);
      uint8_t* line_j1 = p + (j ^ 0x10);
      uint8_t* line_j2 = p + (j ^ 0x20);
      store64(line_j1, load64(line_j1) ^ hi);
      store64(line_j1 + 8, load64(line_j1 + 8) ^ lo);
      hi ^= load64(line_j2);
      lo ^= load64(line_j2 + 8);
      v8_shuffle_block<kInfo.reverse_shuffle>(p, j, bb[w], b[w], a[w]);

      a[w][0] += hi;
      a[w][1] += lo;
      store64(line_j, a[w][0]);
      store64(line_j + 8, a[w][1]);
      a[w][0] ^= d0;
      a[w][1] ^= d1;
      prefetch(p + (a[w][0] & kMask));
      bb[w][0] = b[w][0];
      bb[w][1] = b[w][1];
      b[w][0] = c0;
      b[w][1] = c1;
    }
  }
}

template <int32_t Id, int N>
void hash_ways_with(uint8_t* work_areas, const uint8_t* const* blobs, size_t length, uint8_t* const* outs) {
  constexpr algorithm_info kInfo = kAlgorithms[Id];
  if (length < kInfo.min_blob_length) {
    for (int w = 0; w < N; ++w) std::memset(outs[w], 0, 32);
    return;
  }
  uint64_t* state[N];
  uint8_t* pad[N];
  uint64_t tweak[N] = {};
  for (int w = 0; w < N; ++w) {
    uint8_t* memory = work_areas + static_cast<size_t>(w) * kWayStride;
    state[w] = reinterpret_cast<uint64_t*>(memory);
    pad[w] = memory + kScratchpadOffset;
    keccak1600(blobs[w], length, state[w]);
    fill_aes<kInfo.scratchpad, kInfo.heavy_fill>(memory, pad[w]);
    if constexpr (kInfo.v7_shift != 0) tweak[w] = v7_tweak_value(state[w][24], blobs[w]);
  }
  if constexpr (kInfo.loop == loop_family::v8) {
    v8_loop_ways<Id, N>(state, pad);
  } else {
    base_loop_ways<Id, N>(state, pad, tweak);
  }
  for (int w = 0; w < N; ++w) {
    uint8_t* memory = work_areas + static_cast<size_t>(w) * kWayStride;
    fold_aes<kInfo.scratchpad, kInfo.heavy_fill>(memory, pad[w]);
    keccakf(state[w], 24);
    final_hash(memory, outs[w]);
  }
}

template <int32_t Id>
void hash_row(int ways, uint8_t* work_areas, const uint8_t* const* blobs, size_t length, uint8_t* const* outs) {
  if constexpr (!fast_path_serves(kAlgorithms[Id])) {
    hash_each(Id, ways, work_areas, blobs, length, outs);
  } else {
    switch (ways) {
      case 1: hash_ways_with<Id, 1>(work_areas, blobs, length, outs); break;
      case 2: hash_ways_with<Id, 2>(work_areas, blobs, length, outs); break;
      case 3: hash_ways_with<Id, 3>(work_areas, blobs, length, outs); break;
      default: hash_ways_with<Id, 4>(work_areas, blobs, length, outs); break;
    }
  }
}

static_assert(kScratchpadOffset % 16 == 0, "scratchpad lines are loaded as aligned SSE words");
static_assert(kWayStride >= kWorkAreaSize && kWayStride % kWorkAreaAlignment == 0);

#endif  // ORBECK_AES_PATH

}  // namespace

bool have_aes_instructions() {
#if ORBECK_AES_PATH
  return __builtin_cpu_supports("aes");
#else
  return false;
#endif
}

bool ways_supported(int32_t algorithm) {
  return algorithm >= 0 && algorithm < kAlgoCount && have_aes_instructions() &&
         fast_path_serves(kAlgorithms[algorithm]);
}

void hash_ways(int32_t algorithm, int ways, uint8_t* work_areas, const uint8_t* const* blobs, size_t length,
               uint8_t* const* outs) {
  if (ways < 1) return;
  if (ways > kMaxWays) ways = kMaxWays;
#if ORBECK_AES_PATH
  if (have_aes_instructions()) {
    [&]<int32_t... Ids>(std::integer_sequence<int32_t, Ids...>) {
      ((algorithm == Ids ? hash_row<Ids>(ways, work_areas, blobs, length, outs) : void()), ...);
    }(std::make_integer_sequence<int32_t, kAlgoCount>());
    return;
  }
#endif
  hash_each(algorithm, ways, work_areas, blobs, length, outs);
}

}  // namespace crypto
