// CryptoNight prepare, main and collect kernels for the algorithms of the
// host's table, instantiated from the build options it passes.
//
// Division of one hash among the kernels of a round (N hashes, global offset
// O in dimension 0; work item g hashes nonce O + g):
// - prepare (8 x 8 groups: dimension 0 picks the hash, dimension 1 the block
//   x0..x7 of a 128-byte chunk): writes the low 24 bits of the nonce into blob
//   bytes 39..41, absorbs the blob into the 200-byte Keccak state (stored at
//   states + 25 * g) and fills the scratchpad. The input buffer holds the
//   blob, the pad byte 0x01 and zeros up to 88 bytes; the blob length is the
//   position of its last non-zero byte.
// - main (one work item per hash; on CPU devices the even work item of each
//   pair runs both hashes, see CN_MAIN_HASHES_PER_ITEM): the memory-hard loop.
// - collect (8 x 8 groups like prepare): folds the scratchpad into the state,
//   runs Keccak-f and appends g to the Branch buffer chosen by state byte 0.
// - hash_blake/groestl/jh/skein: hash the states listed in their branch and
//   report nonce O + g when hash word 7 is below the target.
//
// Scratchpad layout: N must be a multiple of 8 (the launch shapes make it so).
// Hashes 0..N/2-1 keep their whole scratchpad in Scratchpad0 and hashes
// N/2..N-1 in Scratchpad1, each at (g mod N/2) * scratchpad bytes, so every
// buffer holds N * scratchpad bytes / 2 and the main loop uses one base
// pointer.
//
// Blobs shorter than 43 bytes: the tweak algorithms hash them to 32 zero
// bytes without hashing. Prepare does not know the algorithm, so it marks
// such a hash by XORing CN_SHORT_MARK into scratchpad line 0. Every main
// kernel recomputes line 0 from the state and restores it; a tweak main
// kernel that finds the mark skips its loop and stores CN_ZERO_MAGIC in
// line 0 instead, which collect turns into a Branch entry flagged with
// CN_ENTRY_ZERO_HASH; the final kernel then treats the hash as all zero.
// A legitimate line 0 equals the 128-bit magic with probability 2^-128.

// Main-loop variant: the rules of an algorithm packed into one number by
// the host (crypto::kernel_variant), decoded here at compile time.
#define CN_TWEAK_SHIFT(v) ((v) & 3u)           // 0: no V7 tweak; else byte-11 shift
#define CN_LANE_XOR_A0(v) ((((v) >> 2) & 1u) != 0) // stored high lane also ^= a0
#define CN_DIVISION(v) (((v) >> 3) & 3u)       // 0 none, 1 next index d ^ q, 2 ~d ^ q
#define CN_INVERTED_AES(v) ((((v) >> 5) & 1u) != 0)
#define CN_LOOP_FAMILY(v) (((v) >> 6) & 3u)   // 0 base loop, 1 V8 loop, 2 random loop, 3 float loop
#define CN_IS_V8(v) (CN_LOOP_FAMILY(v) == 1u)
#define CN_IS_RANDOM(v) (CN_LOOP_FAMILY(v) == 2u)
#define CN_HEAVY_FILL(v) ((((v) >> 8) & 1u) != 0)
#define CN_REVERSE_SHUFFLE(v) ((((v) >> 9) & 1u) != 0) // V8 shuffles: 0x20 and 0x30 lines trade
#define CN_CONCEAL(v) ((((v) >> 10) & 1u) != 0)      // float conceal step before the AES round

#define CN_IS_TWEAK(v) (CN_TWEAK_SHIFT(v) != 0)
#define CN_IS_DIVISION(v) (CN_DIVISION(v) != 0)

// The host passes the kernel instances of its algorithm table as build
// options (gpu/kernel_table.h); without them there is nothing to build.
#if !defined(CN_FAMILY_KERNELS) || !defined(CN_MAIN_KERNELS)
#error "build with the kernel table options: -DCN_FAMILY_KERNELS=... -DCN_MAIN_KERNELS=..."
#endif

#define CN_SHORT_MARK ((uint4)(0x7C3A91E5u, 0x2B64D0F8u, 0xE19F5A37u, 0x4D0C86B2u))
#define CN_ZERO_MAGIC ((uint4)(0x0B5E2C71u, 0x9A3F6D48u, 0x53C7E01Fu, 0xA8D4B269u))
#define CN_ENTRY_ZERO_HASH 0x80000000u
// A Branch0 entry whose hash is the state itself (cn/gpu): the final kernel
// compares state word 7 instead of hashing.
#define CN_ENTRY_STATE_HASH 0x40000000u

// Iterations between two looks at the run flag inside the main loop; every
// row's pass count is a multiple of it (kMainKernelPassBlock, kernel_table.h).
#define CN_RUN_CHECK 0x4000u

// The item's scratchpad, as described at the top of this file.
ORBECK_INLINE __global uint4 *cn_scratchpad(__global uint4 *sp0, __global uint4 *sp1,
                                            ulong item, ulong items, uint mem)
{
    const ulong first_half = items >> 1;
    const ulong lines = mem >> 4;
    return item < first_half ? sp0 + item * lines : sp1 + (item - first_half) * lines;
}

ORBECK_INLINE void cn_keys_from_state(uint4 *keys, ulong l0, ulong l1, ulong l2, ulong l3)
{
    uint key[8];
    key[0] = (uint)l0;
    key[1] = (uint)(l0 >> 32);
    key[2] = (uint)l1;
    key[3] = (uint)(l1 >> 32);
    key[4] = (uint)l2;
    key[5] = (uint)(l2 >> 32);
    key[6] = (uint)l3;
    key[7] = (uint)(l3 >> 32);
    aes_expand_key10(keys, key);
}

// Heavy mixing across the eight lanes of one hash: x_j ^= x_(j+1), x7 ^= x0.
// All eight lanes must call it.
ORBECK_INLINE uint4 cn_mix_lanes(__local uint4 *exchange, uint lane, uint4 x)
{
    exchange[lane] = x;
    barrier(CLK_LOCAL_MEM_FENCE);
    const uint4 mixed = x ^ exchange[(lane + 1) & 7];
    barrier(CLK_LOCAL_MEM_FENCE);
    return mixed;
}

// ---------------------------------------------------------------------------
// prepare

// The 200-byte Keccak state of this work item's blob: the input with the
// low 24 bits of the nonce (the global id in dimension 0) in bytes 39..41,
// absorbed at rate 136. True for a blob shorter than 43 bytes. The blob
// length is the position of the last non-zero byte of the 88-byte input:
// the host appends the pad byte 0x01 and zero bytes.
ORBECK_INLINE bool cn_absorb_input(__global const ulong *input, ulong *st)
{
    uint len = 0;
#pragma unroll
    for (int k = 0; k < 11; ++k) {
        st[k] = input[k];
        if (st[k] != 0) {
            len = 8 * k + (63 - (uint)clz(st[k])) / 8;
        }
    }
    // Byte 42 stays as uploaded.
    const uint nonce = (uint)get_global_id(0);
    if (len > 39) {
        st[4] = (st[4] & 0x00FFFFFFFFFFFFFFUL) | ((ulong)(nonce & 0xFFu) << 56);
    }
    if (len > 40) {
        st[5] = (st[5] & ~0xFFUL) | (ulong)((nonce >> 8) & 0xFFu);
    }
    if (len > 41) {
        st[5] = (st[5] & ~0xFF00UL) | ((ulong)((nonce >> 16) & 0xFFu) << 8);
    }
    // The input already holds the pad byte; add the final bit of the
    // 136-byte rate block.
#pragma unroll
    for (int k = 11; k < 25; ++k) {
        st[k] = 0;
    }
    st[16] = 0x8000000000000000UL;
    keccakf1600(st);
    return len < 43;
}

ORBECK_INLINE void cn_prepare(__global const ulong *input, __global uint4 *Scratchpad0,
                              __global uint4 *Scratchpad1, __global ulong *states,
                              __global const uint *RunState, __local uint *tables,
                              __local ulong *shared_states, __local uint4 *exchange,
                              __local uint *stop, const uint mem, const bool heavy)
{
    const uint hash = get_local_id(0);
    const uint lane = get_local_id(1);
    const ulong item = get_global_id(0) - get_global_offset(0);
    __local ulong *st_shared = shared_states + 25 * hash;

    aes_tables_to_local(tables, lane * 8 + hash, 64);
    if (hash == 0 && lane == 0) {
        *stop = *RunState;
    }

    bool short_blob = false;
    if (lane == 0) {
        ulong st[25];
        short_blob = cn_absorb_input(input, st);
#pragma unroll
        for (int k = 0; k < 25; ++k) {
            states[item * 25 + k] = st[k];
            st_shared[k] = st[k];
        }
    }
    barrier(CLK_LOCAL_MEM_FENCE);
    if (*stop) {
        return;
    }

    uint4 keys[10];
    cn_keys_from_state(keys, st_shared[0], st_shared[1], st_shared[2], st_shared[3]);
    uint4 x = as_uint4((ulong2)(st_shared[8 + 2 * lane], st_shared[9 + 2 * lane]));
    __global uint4 *sp =
        cn_scratchpad(Scratchpad0, Scratchpad1, item, get_global_size(0), mem);

    if (heavy) {
        for (int r = 0; r < 16; ++r) {
            x = aes_ten_rounds(tables, x, keys);
            x = cn_mix_lanes(exchange + 8 * hash, lane, x);
        }
    }
    for (uint c = 0; c < mem / 128; ++c) {
        x = aes_ten_rounds(tables, x, keys);
        sp[c * 8 + lane] = x;
    }
    if (short_blob) {
        sp[0] ^= CN_SHORT_MARK;
    }
}

#define CN_PREPARE_KERNEL(NAME, MEM, HEAVY)                                                 \
    __attribute__((reqd_work_group_size(8, 8, 1))) __kernel void NAME(                     \
        __global const ulong *input, __global uint4 *Scratchpad0,                          \
        __global uint4 *Scratchpad1, __global ulong *states, __global const uint *RunState) \
    {                                                                                      \
        __local uint tables[1024];                                                         \
        __local ulong shared_states[8 * 25];                                               \
        __local uint4 exchange[64];                                                        \
        __local uint stop;                                                                 \
        cn_prepare(input, Scratchpad0, Scratchpad1, states, RunState, tables,              \
                   shared_states, exchange, &stop, MEM, HEAVY);                            \
    }

// ---------------------------------------------------------------------------
// main

// Scratchpad line 0 as the fill wrote it, recomputed from the state. The
// heavy fill's eight blocks go through the item's eight lines of `blocks`:
// in private memory a GPU would keep them in scratch (they are indexed), or
// in registers that the whole kernel would then have to reserve.
ORBECK_INLINE uint4 cn_first_line(__local const uint *tables, __local uint4 *x,
                                  __global const ulong *s, const bool heavy)
{
    uint4 keys[10];
    cn_keys_from_state(keys, s[0], s[1], s[2], s[3]);
    if (!heavy) {
        return aes_ten_rounds(tables, as_uint4((ulong2)(s[8], s[9])), keys);
    }
    for (int j = 0; j < 8; ++j) {
        x[j] = as_uint4((ulong2)(s[8 + 2 * j], s[9 + 2 * j]));
    }
    for (int r = 0; r < 16; ++r) {
        for (int j = 0; j < 8; ++j) {
            x[j] = aes_ten_rounds(tables, x[j], keys);
        }
        const uint4 first = x[0];
        for (int j = 0; j < 7; ++j) {
            x[j] ^= x[j + 1];
        }
        x[7] ^= first;
    }
    return aes_ten_rounds(tables, x[0], keys);
}

// Signed 64-bit division truncating toward zero; -2^63 / -1 wraps to -2^63.
ORBECK_INLINE long cn_divide(long n, long d)
{
    return d == -1 ? (long)(0UL - (ulong)n) : n / d;
}

// Integer square root of the V8 rules: floor(2 * sqrt(2^64 + n)) - 2^33,
// found bit by bit as the largest r with (r + 2^33)^2 <= 2^66 + 4n. This is
// exactly what the double-precision root with its fix-up gives.
__attribute__((unused)) ORBECK_INLINE ulong cn_v8_sqrt_integer(ulong n)
{
    const ulong target_hi = 4 + (n >> 62);
    const ulong target_lo = n << 2;
    ulong r = 0;
    for (int bit = 31; bit >= 0; --bit) {
        const ulong candidate = r | ((ulong)1 << bit);
        const ulong s = candidate + ((ulong)1 << 33);
        const ulong hi = mul_hi(s, s);
        const ulong lo = s * s;
        if (hi < target_hi || (hi == target_hi && lo <= target_lo)) {
            r = candidate;
        }
    }
    return r;
}

#ifdef ORBECK_HAVE_FP64
// The V8 square root as defined: correctly rounded double root, then fix-up.
ORBECK_INLINE ulong cn_v8_sqrt_double(ulong n)
{
    const double z = as_double((n >> 12) + 0x3FF0000000000000UL);
    const ulong w = as_ulong(sqrt(z));
    const ulong r = (w - 0x3FF0000000000000UL) >> 19;
    const ulong h = r >> 1;
    const ulong e = r & 1;
    const ulong r2 = h * (h + e) + (r << 32);
    ulong result = r;
    if (r2 + e > n) {
        --result;
    }
    if (r2 + ((ulong)1 << 32) < n - h) {
        ++result;
    }
    return result;
}
#define cn_v8_sqrt cn_v8_sqrt_double
#else
#define cn_v8_sqrt cn_v8_sqrt_integer
#endif

// V8 shuffle: the three other lines of the 64-byte block at offset off.
// Normal: the old lines rotate 0x10 -> 0x20 -> 0x30 -> 0x10; reversed: the
// 0x10 line stays and the 0x20 and 0x30 lines trade places. The added
// values stay b1, b and a at 0x10, 0x20 and 0x30.
ORBECK_INLINE void cn_v8_shuffle(__global ulong2 *sp, ulong off, ulong2 a, ulong2 b,
                                 ulong2 b1, const bool reverse)
{
    __global ulong2 *p1 = sp + ((off ^ 0x10) >> 4);
    __global ulong2 *p2 = sp + ((off ^ 0x20) >> 4);
    __global ulong2 *p3 = sp + ((off ^ 0x30) >> 4);
    const ulong2 chunk1 = *p1;
    const ulong2 chunk2 = *p2;
    const ulong2 chunk3 = *p3;
    *p1 = (reverse ? chunk1 : chunk3) + b1;
    *p2 = (reverse ? chunk3 : chunk1) + b;
    *p3 = chunk2 + a;
}

// The conceal step on the four words of the line read for the AES round,
// with the hash's float accumulator: each word's signed value plus the
// accumulator, cubed and forced to magnitude [2, 4), is added to the
// accumulator; the word is XORed with the old accumulator, forced the same
// way, times 2^29 - 32 (a whole number below 2^31, so the conversion is
// exact). Correctly rounded binary32 + and * only; FP_CONTRACT is off.
ORBECK_INLINE ulong2 cn_conceal(ulong2 c, float4 *acc)
{
    const float4 old = *acc;
    float4 r = convert_float4_rte(as_int4(c)) + old;
    r = r * (r * r);
    r = as_float4((as_uint4(r) & 0x807FFFFFu) | 0x40000000u);
    const float4 g = as_float4((as_uint4(old) & 0x807FFFFFu) | 0x40000000u);
    *acc = old + r;
    return as_ulong2(as_int4(c) ^ convert_int4_rtz(g * 536870880.0f));
}

#ifdef CN_RANDOM_SLOTS
// The random loop's programs: a program built for a group of consecutive
// block heights is given CN_RANDOM_SLOTS(X) (X(0) .. X(N-1)) and, per slot
// s, CN_RANDOM_CODE_s, the statements of that height's generated program on
// r0..r8 (gpu/random_source.h). Called with a constant slot after inlining,
// so each slot's code is straight-line with the registers in scalars.
#define CN_RANDOM_CASE(S) \
    case S: {             \
        CN_RANDOM_CODE_##S \
    } break;

ORBECK_INLINE void cn_random_run(const uint slot, uint *p0, uint *p1, uint *p2, uint *p3,
                                 const uint r4, const uint r5, const uint r6, const uint r7,
                                 const uint r8)
{
    uint r0 = *p0;
    uint r1 = *p1;
    uint r2 = *p2;
    uint r3 = *p3;
    switch (slot) {
        CN_RANDOM_SLOTS(CN_RANDOM_CASE)
    }
    *p0 = r0;
    *p1 = r1;
    *p2 = r2;
    *p3 = r3;
}
#endif

// The random loop's shuffle: the V8 rotation of the three neighbour lines;
// returns the XOR of their old values.
ORBECK_INLINE ulong2 cn_random_shuffle(__global ulong2 *sp, ulong off, ulong2 a, ulong2 b,
                                       ulong2 b1)
{
    __global ulong2 *p1 = sp + ((off ^ 0x10) >> 4);
    __global ulong2 *p2 = sp + ((off ^ 0x20) >> 4);
    __global ulong2 *p3 = sp + ((off ^ 0x30) >> 4);
    const ulong2 chunk1 = *p1;
    const ulong2 chunk2 = *p2;
    const ulong2 chunk3 = *p3;
    *p1 = chunk3 + b1;
    *p2 = chunk1 + b;
    *p3 = chunk2 + a;
    return chunk1 ^ chunk2 ^ chunk3;
}

// One hash's values in the main loop.
typedef struct {
    __global ulong2 *sp;
    ulong a0;
    ulong a1;
    ulong idx;
    ulong tweak;
    ulong division_result;
    ulong sqrt_result;
    ulong2 b;
    ulong2 b1;
    float4 conceal_acc;
    uint r0, r1, r2, r3;  // the random loop's carried registers
} cn_main_state;

// Sets up the main loop of work item `item`. False when there is nothing to
// compute: a tweak algorithm's blob under 43 bytes (see the top of the file).
ORBECK_INLINE bool cn_main_begin(cn_main_state *st, __global uint4 *Scratchpad0,
                                 __global uint4 *Scratchpad1, __global const ulong *states,
                                 ulong input35, __local const uint *tables,
                                 __local uint4 *blocks, ulong item, const uint mem,
                                 const uint variant)
{
    __global const ulong *s = states + item * 25;
    st->sp = (__global ulong2 *)cn_scratchpad(Scratchpad0, Scratchpad1, item,
                                              get_global_size(0), mem);
    const uint4 expected = cn_first_line(tables, blocks, s, CN_HEAVY_FILL(variant));
    const bool marked = any(as_uint4(st->sp[0]) != expected);
    if (CN_IS_TWEAK(variant) && marked) {
        st->sp[0] = as_ulong2(CN_ZERO_MAGIC);
        return false;
    }
    st->sp[0] = as_ulong2(expected);

    st->tweak = 0;
    if (CN_IS_TWEAK(variant)) {
        // Bytes 35..42 of this item's blob: bytes 39..41 carry its nonce.
        const ulong nonce24 = (ulong)((uint)(get_global_offset(0) + item) & 0xFFFFFFu);
        st->tweak = s[24] ^ ((input35 & 0xFF000000FFFFFFFFUL) | (nonce24 << 32));
    }
    st->a0 = s[0] ^ s[4];
    st->a1 = s[1] ^ s[5];
    st->b = (ulong2)(s[2] ^ s[6], s[3] ^ s[7]);
    st->b1 = (ulong2)(0, 0);
    st->division_result = 0;
    st->sqrt_result = 0;
    if (CN_IS_V8(variant) || CN_IS_RANDOM(variant)) {
        st->b1 = (ulong2)(s[8] ^ s[10], s[9] ^ s[11]);
        st->division_result = s[12];
        st->sqrt_result = s[13];
    }
    st->r0 = (uint)s[12];
    st->r1 = (uint)(s[12] >> 32);
    st->r2 = (uint)s[13];
    st->r3 = (uint)(s[13] >> 32);
    st->conceal_acc = (float4)(0.0f);
    st->idx = st->a0;
    return true;
}

// One iteration of the memory-hard loop.
ORBECK_INLINE void cn_main_step(cn_main_state *st, __local const uint *tables, const ulong mask,
                                const uint variant)
{
    __global ulong2 *sp = st->sp;
    ulong a0 = st->a0;
    ulong a1 = st->a1;
    const ulong offset_i = st->idx & mask;
    __global ulong2 *pi = sp + (offset_i >> 4);
    const ulong2 key = (ulong2)(a0, a1);
    ulong2 c;
    if (CN_INVERTED_AES(variant)) {
        c = as_ulong2(aes_round_tube(tables, as_uint4(*pi), as_uint4(key)));
    } else if (CN_CONCEAL(variant)) {
        c = aes_round_lanes(tables, cn_conceal(*pi, &st->conceal_acc), key);
    } else {
        c = aes_round_lanes(tables, *pi, key);
    }
    if (CN_IS_V8(variant)) {
        cn_v8_shuffle(sp, offset_i, key, st->b, st->b1, CN_REVERSE_SHUFFLE(variant));
    }
    ulong2 v = st->b ^ c;
    if (CN_IS_TWEAK(variant)) {
        // Byte 11 rule: only bits 4 and 5 of byte 11 change.
        const uint x = (uint)(v.y >> 24) & 0xFFu;
        const uint shift = CN_TWEAK_SHIFT(variant);
        const uint n = ((x >> shift) & 0x0Cu) | ((x & 1u) << 1);
        v.y ^= (ulong)(((0x7531u >> n) & 3u) << 4) << 24;
    }
    *pi = v;

    const ulong offset_j = c.x & mask;
    __global ulong2 *pj = sp + (offset_j >> 4);
    const ulong2 d = *pj;
    ulong d0 = d.x;
    if (CN_IS_V8(variant)) {
        d0 ^= st->division_result ^ (st->sqrt_result << 32);
        const uint divisor = ((uint)c.x + (uint)(st->sqrt_result << 1)) | 0x80000001u;
        const ulong quotient = c.y / divisor;
        const ulong remainder = c.y - quotient * divisor;
        st->division_result = (quotient & 0xFFFFFFFFUL) + (remainder << 32);
        st->sqrt_result = cn_v8_sqrt(c.x + st->division_result);
    }
    ulong hi;
    ulong lo = orbeck_mul128(c.x, d0, &hi);
    if (CN_IS_V8(variant)) {
        __global ulong2 *p1 = sp + ((offset_j ^ 0x10) >> 4);
        *p1 ^= (ulong2)(hi, lo);
        const ulong2 l2 = sp[(offset_j ^ 0x20) >> 4];
        hi ^= l2.x;
        lo ^= l2.y;
        cn_v8_shuffle(sp, offset_j, key, st->b, st->b1, CN_REVERSE_SHUFFLE(variant));
    }
    a0 += hi;
    a1 += lo;
    ulong stored_hi = a1;
    if (CN_IS_TWEAK(variant)) {
        stored_hi ^= st->tweak;
        if (CN_LANE_XOR_A0(variant)) {
            stored_hi ^= a0;
        }
    }
    *pj = (ulong2)(a0, stored_hi);
    a0 ^= d0;
    a1 ^= d.y;
    st->b1 = st->b;
    st->b = c;

    if (CN_IS_DIVISION(variant)) {
        __global ulong2 *pk = sp + ((a0 & mask) >> 4);
        const ulong2 line = *pk;
        const long n = (long)line.x;
        const int dd = (int)(uint)line.y;
        const long q = cn_divide(n, (long)dd | 5);
        *pk = (ulong2)((ulong)(n ^ q), line.y);
        st->idx = CN_DIVISION(variant) == 2 ? (ulong)((long)(~dd) ^ q) : (ulong)((long)dd ^ q);
    } else {
        st->idx = a0;
    }
    st->a0 = a0;
    st->a1 = a1;
}

// Hashes per work item in the main loop. A CPU runs the work items of a
// group one after another, so one chain of dependent scratchpad accesses
// leaves the core waiting on memory; there the first work item of each pair
// runs both hashes interleaved and the second has nothing to do. GPUs hide
// the latency with other work items and keep one hash each.
#if defined(__x86_64__) || defined(__aarch64__)
#define CN_MAIN_HASHES_PER_ITEM 2
#else
#define CN_MAIN_HASHES_PER_ITEM 1
#endif

#ifdef CN_RANDOM_SLOTS
// One iteration of the random loop: the V8 loop without the division,
// square root and product mixing; the shuffles also fold the old neighbour
// lines into c, and the program's registers are folded into d before the
// multiply and into the next a.
ORBECK_INLINE void cn_main_step_random(cn_main_state *st, __local const uint *tables,
                                       const ulong mask, const uint slot)
{
    __global ulong2 *sp = st->sp;
    const ulong a0 = st->a0;
    const ulong a1 = st->a1;
    const ulong offset_i = a0 & mask;
    __global ulong2 *pi = sp + (offset_i >> 4);
    const ulong2 key = (ulong2)(a0, a1);
    ulong2 c = aes_round_lanes(tables, *pi, key);
    c ^= cn_random_shuffle(sp, offset_i, key, st->b, st->b1);
    *pi = st->b ^ c;

    const ulong offset_j = c.x & mask;
    __global ulong2 *pj = sp + (offset_j >> 4);
    const ulong2 d = *pj;
    const ulong d0 =
        d.x ^ ((ulong)(st->r0 + st->r1) | ((ulong)(st->r2 + st->r3) << 32));
    uint r0 = st->r0, r1 = st->r1, r2 = st->r2, r3 = st->r3;
    cn_random_run(slot, &r0, &r1, &r2, &r3, (uint)a0, (uint)a1, (uint)st->b.x,
                  (uint)st->b1.x, (uint)st->b1.y);
    st->r0 = r0;
    st->r1 = r1;
    st->r2 = r2;
    st->r3 = r3;
    ulong x0 = a0 ^ ((ulong)r2 | ((ulong)r3 << 32));
    ulong x1 = a1 ^ ((ulong)r0 | ((ulong)r1 << 32));

    ulong hi;
    const ulong lo = orbeck_mul128(c.x, d0, &hi);  // c before the second shuffle
    c ^= cn_random_shuffle(sp, offset_j, key, st->b, st->b1);
    x0 += hi;
    x1 += lo;
    *pj = (ulong2)(x0, x1);
    st->a0 = x0 ^ d0;
    st->a1 = x1 ^ d.y;
    st->idx = st->a0;
    st->b1 = st->b;
    st->b = c;
}

// The main loop of one slot (a constant after inlining): the height's code
// is chosen once per hash, not per iteration.
ORBECK_INLINE void cn_main_loop_random(cn_main_state *st, __local const uint *tables,
                                       const ulong mask, __global const uint *RunState,
                                       const uint iterations, const uint slot)
{
    for (uint outer = 0; outer < iterations; outer += CN_RUN_CHECK) {
        if (outer != 0 && *(volatile __global const uint *)RunState) {
            return;
        }
        for (uint k = 0; k < CN_RUN_CHECK; ++k) {
#pragma unroll
            for (int h = 0; h < CN_MAIN_HASHES_PER_ITEM; ++h) {
                cn_main_step_random(&st[h], tables, mask, slot);
            }
        }
    }
}
#define CN_RANDOM_LOOP_CASE(S)                                                 \
    case S:                                                                    \
        cn_main_loop_random(st, tables, mask, RunState, iterations, S);        \
        break;
#endif

ORBECK_INLINE void cn_main(__global uint4 *Scratchpad0, __global uint4 *Scratchpad1,
                           __global const ulong *states, __global const uint *RunState,
                           ulong input35, const uint slot, __local uint *tables,
                           __local uint4 *blocks, const uint mem, const uint iterations,
                           const ulong mask, const uint variant)
{
    aes_tables_to_local(tables, get_local_id(0), get_local_size(0));
    barrier(CLK_LOCAL_MEM_FENCE);
    if (*(volatile __global const uint *)RunState) {
        return;
    }
    if (get_local_id(0) % CN_MAIN_HASHES_PER_ITEM != 0) {
        return;
    }
    const ulong item = get_global_id(0) - get_global_offset(0);

    cn_main_state st[CN_MAIN_HASHES_PER_ITEM];
    bool active = true;
#pragma unroll
    for (int h = 0; h < CN_MAIN_HASHES_PER_ITEM; ++h) {
        // All hashes of a round share the blob length, so either all of
        // them have work or none.
        active = cn_main_begin(&st[h], Scratchpad0, Scratchpad1, states, input35, tables,
                               blocks + 8 * (get_local_id(0) + h), item + h, mem, variant);
    }
    if (!active) {
        return;
    }

    if (CN_IS_RANDOM(variant)) {
#ifdef CN_RANDOM_SLOTS
        switch (slot) {
            CN_RANDOM_SLOTS(CN_RANDOM_LOOP_CASE)
        }
#endif
        return;
    }
    for (uint outer = 0; outer < iterations; outer += CN_RUN_CHECK) {
        if (outer != 0 && *(volatile __global const uint *)RunState) {
            return;
        }
        for (uint k = 0; k < CN_RUN_CHECK; ++k) {
#pragma unroll
            for (int h = 0; h < CN_MAIN_HASHES_PER_ITEM; ++h) {
                cn_main_step(&st[h], tables, mask, variant);
            }
        }
    }
}

// One main kernel of the table: CN_MAIN for rows without the tweak,
// CN_MAIN_TWEAK (a fifth argument, the blob's bytes 35..42) for the others,
// CN_MAIN_RANDOM (a fifth argument, the slot of the job's height in the
// program's height group) for the random loop, only in a program built
// with a group's code (CN_RANDOM_SLOTS).
// MASK is the row's line offset mask: the whole pad (MEM - 16) or, for a
// row that walks only part of it, less.
#define CN_MAIN(NAME, LOCAL, MEM, ITER, MASK, VARIANT)                                      \
    __attribute__((reqd_work_group_size(LOCAL, 1, 1))) __kernel void NAME(                 \
        __global uint4 *Scratchpad0, __global uint4 *Scratchpad1,                          \
        __global const ulong *states, __global const uint *RunState)                       \
    {                                                                                      \
        __local uint tables[1024];                                                         \
        __local uint4 blocks[8 * LOCAL];                                                   \
        cn_main(Scratchpad0, Scratchpad1, states, RunState, 0, 0, tables, blocks, MEM,     \
                ITER, MASK, VARIANT);                                                      \
    }

#define CN_MAIN_TWEAK(NAME, LOCAL, MEM, ITER, MASK, VARIANT)                                \
    __attribute__((reqd_work_group_size(LOCAL, 1, 1))) __kernel void NAME(                 \
        __global uint4 *Scratchpad0, __global uint4 *Scratchpad1,                          \
        __global const ulong *states, __global const uint *RunState, ulong input35)        \
    {                                                                                      \
        __local uint tables[1024];                                                         \
        __local uint4 blocks[8 * LOCAL];                                                   \
        cn_main(Scratchpad0, Scratchpad1, states, RunState, input35, 0, tables, blocks,    \
                MEM, ITER, MASK, VARIANT);                                                 \
    }

#ifdef CN_RANDOM_SLOTS
#define CN_MAIN_RANDOM(NAME, LOCAL, MEM, ITER, MASK, VARIANT)                               \
    __attribute__((reqd_work_group_size(LOCAL, 1, 1))) __kernel void NAME(                 \
        __global uint4 *Scratchpad0, __global uint4 *Scratchpad1,                          \
        __global const ulong *states, __global const uint *RunState, uint slot)            \
    {                                                                                      \
        __local uint tables[1024];                                                         \
        __local uint4 blocks[8 * LOCAL];                                                   \
        cn_main(Scratchpad0, Scratchpad1, states, RunState, 0, slot, tables, blocks, MEM,  \
                ITER, MASK, VARIANT);                                                      \
    }
#endif

// ---------------------------------------------------------------------------
// collect

// Folds the scratchpad into the state and runs Keccak-f; true on the one
// work item per hash (lane 0) that has stored the new state, which then
// reports the hash (*zero_hash: a short blob's hash is all zero).
ORBECK_INLINE bool cn_collect(__global const uint4 *Scratchpad0,
                              __global const uint4 *Scratchpad1, __global ulong *states,
                              __global const uint *RunState, __local uint *tables,
                              __local uint4 *blocks, __local uint4 *exchange, __local uint *stop,
                              const uint mem, const bool heavy, bool *zero_hash)
{
    const uint hash = get_local_id(0);
    const uint lane = get_local_id(1);
    const ulong item = get_global_id(0) - get_global_offset(0);
    const ulong items = get_global_size(0);
    __global ulong *st = states + item * 25;

    aes_tables_to_local(tables, lane * 8 + hash, 64);
    if (hash == 0 && lane == 0) {
        *stop = *RunState;
    }
    barrier(CLK_LOCAL_MEM_FENCE);
    if (*stop) {
        return false;
    }

    // The scratchpad is only read here; the cast keeps one address helper.
    __global const uint4 *sp = cn_scratchpad((__global uint4 *)Scratchpad0,
                                             (__global uint4 *)Scratchpad1, item, items, mem);
    *zero_hash = lane == 0 && all(sp[0] == CN_ZERO_MAGIC);

    uint4 keys[10];
    cn_keys_from_state(keys, st[4], st[5], st[6], st[7]);
    uint4 x = as_uint4((ulong2)(st[8 + 2 * lane], st[9 + 2 * lane]));

    if (heavy) {
        for (int pass = 0; pass < 2; ++pass) {
            for (uint c = 0; c < mem / 128; ++c) {
                x = aes_ten_rounds(tables, x ^ sp[c * 8 + lane], keys);
                x = cn_mix_lanes(exchange + 8 * hash, lane, x);
            }
        }
        for (int r = 0; r < 16; ++r) {
            x = aes_ten_rounds(tables, x, keys);
            x = cn_mix_lanes(exchange + 8 * hash, lane, x);
        }
    } else {
        for (uint c = 0; c < mem / 128; ++c) {
            x = aes_ten_rounds(tables, x ^ sp[c * 8 + lane], keys);
        }
    }

    blocks[hash * 8 + lane] = x;
    barrier(CLK_LOCAL_MEM_FENCE);

    ulong state[25];
#pragma unroll
    for (int k = 0; k < 25; ++k) {
        state[k] = st[k];
    }
#pragma unroll
    for (int j = 0; j < 8; ++j) {
        const ulong2 block = as_ulong2(blocks[hash * 8 + j]);
        state[8 + 2 * j] = block.x;
        state[9 + 2 * j] = block.y;
    }
    // Every lane runs the permutation (on the same state) and lane 0 stores
    // it: with lane 0 alone running it, PoCL returned a wrong state for the
    // 2 MiB heavy instance (the other instances were right).
    keccakf1600(state);
    if (lane != 0) {
        return false;
    }
#pragma unroll
    for (int k = 0; k < 25; ++k) {
        st[k] = state[k];
    }
    return true;
}

// The Branch list of a collected hash, chosen by state byte 0; a hash that
// is the state itself goes to Branch0 marked CN_ENTRY_STATE_HASH.
ORBECK_INLINE void cn_collect_to_branch(__global const ulong *states, __global uint *Branch0,
                                        __global uint *Branch1, __global uint *Branch2,
                                        __global uint *Branch3, bool zero_hash, bool state_hash)
{
    const ulong item = get_global_id(0) - get_global_offset(0);
    const ulong items = get_global_size(0);
    const uint which = state_hash ? 0u : (uint)states[item * 25] & 3u;
    __global uint *branch = which == 0 ? Branch0 : which == 1 ? Branch1 : which == 2 ? Branch2
                                                                                       : Branch3;
    const uint slot = atomic_inc(branch + items);
    branch[slot] = (uint)item | (zero_hash ? CN_ENTRY_ZERO_HASH : 0u) |
                   (state_hash ? CN_ENTRY_STATE_HASH : 0u);
}

#define CN_COLLECT_KERNEL(NAME, MEM, HEAVY) CN_COLLECT_KERNEL_FINAL(NAME, MEM, HEAVY, false)

// A collect kernel; STATE_HASH: the state after Keccak-f is the hash.
#define CN_COLLECT_KERNEL_FINAL(NAME, MEM, HEAVY, STATE_HASH)                               \
    __attribute__((reqd_work_group_size(8, 8, 1))) __kernel void NAME(                     \
        __global const uint4 *Scratchpad0, __global const uint4 *Scratchpad1,              \
        __global ulong *states, __global uint *Branch0, __global uint *Branch1,            \
        __global uint *Branch2, __global uint *Branch3, __global const uint *RunState)     \
    {                                                                                      \
        __local uint tables[1024];                                                         \
        __local uint4 blocks[64];                                                          \
        __local uint4 exchange[64];                                                        \
        __local uint stop;                                                                 \
        bool zero_hash = false;                                                            \
        if (cn_collect(Scratchpad0, Scratchpad1, states, RunState, tables, blocks,         \
                       exchange, &stop, MEM, HEAVY, &zero_hash)) {                         \
            cn_collect_to_branch(states, Branch0, Branch1, Branch2, Branch3, zero_hash,    \
                                 STATE_HASH);                                              \
        }                                                                                  \
    }

// A collect kernel that also ends the hash: the state after Keccak-f is the
// hash, listed in Branch0 for hash_blake to compare (CN_ENTRY_STATE_HASH).
#define CN_COLLECT_STATE_KERNEL(NAME, MEM, HEAVY) CN_COLLECT_KERNEL_FINAL(NAME, MEM, HEAVY, true)

// The prepare and collect kernels of one scratchpad family of the table.
#define CN_FAMILY(PREPARE, COLLECT, MEM, HEAVY)                                            \
    CN_PREPARE_KERNEL(PREPARE, MEM, HEAVY)                                                 \
    CN_COLLECT_KERNEL(COLLECT, MEM, HEAVY)

// ---------------------------------------------------------------------------
// final hashes

// Hashes the state of every item listed in the branch and reports its nonce
// when hash word 7 is below the target. Work items past the branch's count
// have nothing to do.
#define CN_FINAL_KERNEL(NAME, HASH_FUNCTION)                                                \
    __kernel void NAME(__global const ulong *states, __global const uint *BranchBuf,       \
                       __global uint *output, uint Target)                                 \
    {                                                                                      \
        const ulong index = get_global_id(0) - get_global_offset(0);                       \
        if (index >= BranchBuf[get_global_size(0)]) {                                      \
            return;                                                                        \
        }                                                                                  \
        const uint entry = BranchBuf[index];                                               \
        const uint item = entry & ~(CN_ENTRY_ZERO_HASH | CN_ENTRY_STATE_HASH);             \
        uint word7 = 0;                                                                    \
        if ((entry & CN_ENTRY_STATE_HASH) != 0) {                                          \
            word7 = (uint)(states[(ulong)item * 25 + 3] >> 32);                            \
        } else if ((entry & CN_ENTRY_ZERO_HASH) == 0) {                                    \
            ulong state[25];                                                               \
            for (int k = 0; k < 25; ++k) {                                                 \
                state[k] = states[(ulong)item * 25 + k];                                   \
            }                                                                              \
            uint digest[8];                                                                \
            HASH_FUNCTION(state, 200, digest);                                             \
            word7 = digest[7];                                                             \
        }                                                                                  \
        if (word7 < Target) {                                                              \
            const uint slot = atomic_inc(output + 255);                                    \
            if (slot < 255) {                                                              \
                output[slot] = (uint)get_global_offset(0) + item;                          \
            }                                                                              \
        }                                                                                  \
    }

// A height group's program (CN_NO_FINAL_KERNELS) holds only its main kernel.
#ifndef CN_NO_FINAL_KERNELS
CN_FINAL_KERNEL(hash_blake, blake256_hash)
CN_FINAL_KERNEL(hash_groestl, groestl256_hash)
CN_FINAL_KERNEL(hash_jh, jh256_hash)
CN_FINAL_KERNEL(hash_skein, skein512_256_hash)
#endif
