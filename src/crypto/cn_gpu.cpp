#include "crypto/cn_gpu.h"

#include <bit>
#include <cfenv>
#include <cfloat>
#include <cstring>

#include "crypto/keccak.h"

// Every float operation below must be one correctly rounded binary32
// operation in the order written. The build turns contraction off for the
// whole library (-ffp-contract=off, GCC and Clang); Clang also honours the
// pragma. Fast math would reassociate or approximate the division, and x87
// excess precision would round twice: both are refused here.
#if defined(__clang__)
#pragma STDC FP_CONTRACT OFF
#endif
#if defined(__FAST_MATH__) || defined(__FINITE_MATH_ONLY__) && __FINITE_MATH_ONLY__
#error "the float loop needs IEEE arithmetic: build without fast math"
#endif
static_assert(FLT_EVAL_METHOD == 0, "the float loop needs binary32 intermediates (SSE2, not x87)");

namespace crypto {
namespace {

// Four float lanes side by side (one SSE register on x86-64); each lane does
// exactly the scalar operations, and casts between the three types
// reinterpret the bits.
typedef float f4 __attribute__((vector_size(16)));
typedef int32_t i4 __attribute__((vector_size(16)));
typedef uint32_t u4 __attribute__((vector_size(16)));

inline f4 with_bits(f4 x, uint32_t keep, uint32_t set) {
  return std::bit_cast<f4>((std::bit_cast<u4>(x) & keep) | set);
}
// Exponent never 0 or 255: no zero, subnormal, Inf or NaN.
inline f4 exp_odd(f4 x) { return with_bits(x, 0xFEFFFFFFu, 0x00800000u); }
// Magnitude in [2, 4).
inline f4 two_four(f4 x) { return with_bits(x, 0x807FFFFFu, 0x40000000u); }
// Magnitude at least 2.
inline f4 at_least_2(f4 x) { return with_bits(x, 0xFF7FFFFFu, 0x40000000u); }
inline f4 splat(float v) { return f4{v, v, v, v}; }

// Operand blocks (A, B, C, D) and start constant of chain t = 4k + m.
struct chain_row {
  uint8_t blocks[4];
  uint32_t k_bits;
};
constexpr chain_row kChains[16] = {
    {{0, 1, 2, 3}, 0x3FAC0000}, {{0, 2, 3, 1}, 0x3FA40000}, {{0, 3, 1, 2}, 0x3FAE0000},
    {{0, 3, 2, 1}, 0x3FAF0000}, {{1, 0, 2, 3}, 0x3FB70000}, {{1, 2, 3, 0}, 0x3FB30000},
    {{1, 3, 0, 2}, 0x3FB10000}, {{1, 3, 2, 0}, 0x3FA70000}, {{2, 1, 0, 3}, 0x3FB50000},
    {{2, 0, 3, 1}, 0x3FA30000}, {{2, 3, 1, 0}, 0x3FA10000}, {{2, 3, 0, 1}, 0x3FA50000},
    {{3, 1, 2, 0}, 0x3FA90000}, {{3, 2, 0, 1}, 0x3FAD0000}, {{3, 0, 1, 2}, 0x3FAB0000},
    {{3, 0, 2, 1}, 0x3FBB0000},
};

// Operand order (a, b, e, g) of the eight sub-rounds of a round.
constexpr uint8_t kSubRounds[8][4] = {{0, 1, 2, 3}, {1, 2, 3, 0}, {2, 3, 0, 1}, {3, 0, 1, 2},
                                      {3, 2, 1, 0}, {2, 1, 0, 3}, {1, 0, 3, 2}, {0, 3, 2, 1}};

// The four chains of block k, run side by side so their independent
// operations overlap; r[m] receives chain 4k + m's result.
template <int K>
inline void block_chains(const f4 x[4], f4 fb, f4 r[4]) {
  f4 q[4][4];
  f4 c[4];
#pragma GCC unroll 4
  for (int m = 0; m < 4; ++m) {
    const chain_row& row = kChains[4 * K + m];
    for (int i = 0; i < 4; ++i) q[m][i] = x[row.blocks[i]];
    c[m] = splat(std::bit_cast<float>(row.k_bits));
    r[m] = splat(0.0f);
  }
  for (int round = 0; round < 4; ++round) {
    f4 n[4], d[4];
#pragma GCC unroll 4
    for (int m = 0; m < 4; ++m) n[m] = d[m] = splat(0.0f);
#pragma GCC unroll 8
    for (int s = 0; s < 8; ++s) {
      const uint8_t a = kSubRounds[s][0], b = kSubRounds[s][1];
      const uint8_t e = kSubRounds[s][2], g = kSubRounds[s][3];
#pragma GCC unroll 4
      for (int m = 0; m < 4; ++m) {
        const f4 u = q[m][b] + c[m];
        const f4 p = q[m][a] * c[m];
        const f4 p2 = p * p;
        const f4 nn = exp_odd(u * p2);
        n[m] = n[m] + nn;
        const f4 w = q[m][g] - c[m];
        const f4 qe = q[m][e] * c[m];
        const f4 q2 = qe * qe;
        const f4 dd = exp_odd(w * q2);
        d[m] = d[m] + dd;
        c[m] = c[m] + fb;
        c[m] = c[m] + splat(0.734375f);
        c[m] = c[m] + two_four(nn + dd);
      }
    }
#pragma GCC unroll 4
    for (int m = 0; m < 4; ++m) r[m] = r[m] + n[m] / at_least_2(d[m]);
  }
#pragma GCC unroll 4
  for (int m = 0; m < 4; ++m) r[m] = two_four(r[m]);
}

// The 16 bytes of four u32 lanes rotated toward lower addresses by m bytes.
inline u4 rotate_bytes(u4 w, int m) {
  if (m == 0) return w;
  const int bits = 8 * m;
  return u4{(w[0] >> bits) | (w[1] << (32 - bits)), (w[1] >> bits) | (w[2] << (32 - bits)),
            (w[2] >> bits) | (w[3] << (32 - bits)), (w[3] >> bits) | (w[0] << (32 - bits))};
}

// Block k's chains: writes the block back XORed with OUT_k, returns OUT_k
// and stores BSUM_k.
template <int K>
inline u4 run_block(const f4 x[4], const i4 v[4], f4 fb, uint8_t* group, f4& bsum) {
  f4 r[4];
  block_chains<K>(x, fb, r);
  u4 out = u4{0, 0, 0, 0};
#pragma GCC unroll 4
  for (int m = 0; m < 4; ++m) {
    // R * (2^29 - 32) is a whole number below 2^31 (|R| in [2, 4)).
    const i4 word = __builtin_convertvector(r[m] * splat(536870880.0f), i4);
    out ^= rotate_bytes(std::bit_cast<u4>(word), m);
  }
  bsum = (r[0] + r[1]) + (r[2] + r[3]);
  const u4 written = std::bit_cast<u4>(v[K]) ^ out;
  std::memcpy(group + 16 * K, &written, 16);
  return out;
}

inline void iteration(uint8_t* pad, uint32_t mask, cn_gpu_loop_state& loop, f4& fb) {
  uint8_t* group = pad + (loop.idx & mask);
  i4 v[4];
  f4 x[4];
  std::memcpy(v, group, sizeof(v));
  for (int k = 0; k < 4; ++k) x[k] = __builtin_convertvector(v[k], f4);  // to nearest

  f4 bsum[4];
  const u4 out = run_block<0>(x, v, fb, group, bsum[0]) ^ run_block<1>(x, v, fb, group, bsum[1]) ^
                 run_block<2>(x, v, fb, group, bsum[2]) ^ run_block<3>(x, v, fb, group, bsum[3]);
  f4 t = (bsum[0] + bsum[1]) + (bsum[2] + bsum[3]);
  t = with_bits(t, 0x7FFFFFFFu, 0);  // |T| <= 64, so T * 2^24 fits
  const u4 y = std::bit_cast<u4>(__builtin_convertvector(t * splat(16777216.0f), i4)) ^ out;
  fb = t / splat(64.0f);
  loop.idx = y[0] ^ y[1] ^ y[2] ^ y[3];
}

}  // namespace

void cn_gpu_fill(const uint64_t state[25], uint8_t* pad, uint32_t bytes) {
  for (uint32_t i = 0; i < bytes / 512; ++i) {
    uint64_t h[25];
    std::memcpy(h, state, sizeof(h));
    h[0] ^= i;
    uint8_t* chunk = pad + 512 * i;
    keccakf(h, 24);
    std::memcpy(chunk, h, 160);
    keccakf(h, 24);
    std::memcpy(chunk + 160, h, 176);
    keccakf(h, 24);
    std::memcpy(chunk + 336, h, 176);
  }
}

cn_gpu_loop_state cn_gpu_loop_start(const uint8_t* state) {
  cn_gpu_loop_state loop;
  uint32_t first;
  std::memcpy(&first, state, sizeof(first));
  loop.idx = first >> 8;
  return loop;
}

void cn_gpu_loop(uint8_t* pad, uint32_t iterations, cn_gpu_loop_state& loop, uint32_t mask) {
  // The int-to-float conversions follow the rounding mode: nearest, as
  // defined, whatever a library may have set.
  std::fesetround(FE_TONEAREST);
  f4 fb = f4{loop.fb[0], loop.fb[1], loop.fb[2], loop.fb[3]};
  for (uint32_t n = 0; n < iterations; ++n) iteration(pad, mask & 0xFFFFFFC0u, loop, fb);
  for (int j = 0; j < 4; ++j) loop.fb[j] = fb[j];
}

}  // namespace crypto
