// cn/gpu (CryptoNight-GPU): the Keccak fill and the float main loop; the
// absorption and the heavy fold with the state as the hash are
// cryptonight.cl's (cn_absorb_input, CN_COLLECT_STATE_KERNEL).
//
// - prepare (8 x 8 groups like the other families: dimension 0 picks the
//   hash, dimension 1 one of eight fill items): item 0 absorbs the blob,
//   then item l makes the pad's 512-byte chunks l, l + 8, l + 16, ... each
//   from its own copy of the state.
// - main (16 work items per hash, 8 hashes per group of 128): item t runs
//   chain t of every iteration on four float lanes; the 64-byte group, the
//   chain results and the per-block and per-lane sums pass through local
//   memory between four barriers per iteration.
//
// Bit-exact on every device: contraction is off (common.cl), the program is
// built without relaxed math, the division must be correctly rounded (the
// host passes -cl-fp32-correctly-rounded-divide-sqrt where the device
// supports it, and otherwise this file divides in integer arithmetic),
// conversions are explicit and the bit masks go through as_uint/as_float.

// ---------------------------------------------------------------------------
// prepare

ORBECK_INLINE void cn_gpu_prepare(__global const ulong *input, __global uint4 *Scratchpad0,
                                  __global uint4 *Scratchpad1, __global ulong *states,
                                  __global const uint *RunState, __local ulong *shared_states,
                                  __local uint *stop, const uint mem)
{
    const uint hash = get_local_id(0);
    const uint lane = get_local_id(1);
    const ulong item = get_global_id(0) - get_global_offset(0);
    __local ulong *st_shared = shared_states + 25 * hash;

    if (hash == 0 && lane == 0) {
        *stop = *RunState;
    }
    if (lane == 0) {
        ulong st[25];
        cn_absorb_input(input, st);
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

    __global ulong *sp =
        (__global ulong *)cn_scratchpad(Scratchpad0, Scratchpad1, item, get_global_size(0), mem);
    for (uint chunk = lane; chunk < mem / 512; chunk += 8) {
        ulong h[25];
#pragma unroll
        for (int k = 0; k < 25; ++k) {
            h[k] = st_shared[k];
        }
        h[0] ^= chunk;
        __global ulong *out = sp + chunk * 64;
        keccakf1600(h);
#pragma unroll
        for (int k = 0; k < 20; ++k) {
            out[k] = h[k];
        }
        keccakf1600(h);
#pragma unroll
        for (int k = 0; k < 22; ++k) {
            out[20 + k] = h[k];
        }
        keccakf1600(h);
#pragma unroll
        for (int k = 0; k < 22; ++k) {
            out[42 + k] = h[k];
        }
    }
}

#define CN_GPU_PREPARE_KERNEL(NAME, MEM)                                                    \
    __attribute__((reqd_work_group_size(8, 8, 1))) __kernel void NAME(                     \
        __global const ulong *input, __global uint4 *Scratchpad0,                          \
        __global uint4 *Scratchpad1, __global ulong *states, __global const uint *RunState) \
    {                                                                                      \
        __local ulong shared_states[8 * 25];                                               \
        __local uint stop;                                                                 \
        cn_gpu_prepare(input, Scratchpad0, Scratchpad1, states, RunState, shared_states,   \
                       &stop, MEM);                                                        \
    }

// The prepare and collect kernels of a Keccak-fill family.
#define CN_GPU_FAMILY(PREPARE, COLLECT, MEM, HEAVY)                                        \
    CN_GPU_PREPARE_KERNEL(PREPARE, MEM)                                                    \
    CN_COLLECT_STATE_KERNEL(COLLECT, MEM, HEAVY)

// ---------------------------------------------------------------------------
// main

// Exponent never 0 or 255 (no zero, subnormal, Inf or NaN).
ORBECK_INLINE float4 cn_gpu_exp_odd(float4 x)
{
    return as_float4((as_uint4(x) & 0xFEFFFFFFu) | 0x00800000u);
}

// Magnitude in [2, 4).
ORBECK_INLINE float4 cn_gpu_two_four(float4 x)
{
    return as_float4((as_uint4(x) & 0x807FFFFFu) | 0x40000000u);
}

// Magnitude at least 2.
ORBECK_INLINE float4 cn_gpu_at_least_2(float4 x)
{
    return as_float4((as_uint4(x) & 0xFF7FFFFFu) | 0x40000000u);
}

#ifdef ORBECK_EXACT_FP32_DIVIDE
// The build asks for correctly rounded division (the device supports it).
ORBECK_INLINE float4 cn_gpu_divide(float4 n, float4 d)
{
    return n / d;
}
#else
// Correctly rounded n / d in integer arithmetic, for devices whose division
// may be off by up to 2.5 ulp. d is normal with |d| >= 2 (cn_gpu_at_least_2);
// n is zero or normal. A quotient below the normal range (which needs all
// eight terms of a round to cancel) is rounded into the subnormals.
ORBECK_INLINE float cn_gpu_divide1(float n, float d)
{
    const uint nb = as_uint(n);
    const uint db = as_uint(d);
    const uint sign = (nb ^ db) & 0x80000000u;
    if ((nb & 0x7FFFFFFFu) == 0) {
        return as_float(sign);
    }
    ulong mn = (nb & 0x007FFFFFu) | 0x00800000u;
    const ulong md = (db & 0x007FFFFFu) | 0x00800000u;
    int e = (int)((nb >> 23) & 0xFFu) - (int)((db >> 23) & 0xFFu) + 127;
    if (mn < md) {
        mn <<= 1;
        --e;
    }
    // mn / md is in [1, 2): 24 quotient bits, two more and a sticky bit.
    const ulong num = mn << 26;
    ulong q = num / md;
    const uint sticky = (num - q * md) != 0 ? 1u : 0u;
    q |= sticky;
    if (e <= 0) {
        // Subnormal: shift right, keeping what falls off as sticky.
        const uint shift = (uint)(1 - e);
        q = shift < 32 ? (q >> shift) | ((q & (((ulong)1 << shift) - 1)) != 0 ? 1u : 0u) : 1u;
        e = 0;
    } else {
        q -= (ulong)1 << 26;  // drop the leading bit; the exponent field carries it
    }
    // Round to nearest even on the three low bits.
    const uint low = (uint)q & 7u;
    ulong m = q >> 3;
    if (low > 4u || (low == 4u && (m & 1u) != 0)) {
        ++m;
    }
    const uint bits = ((uint)e << 23) + (uint)m;  // a mantissa carry moves into the exponent
    return as_float(sign | (e >= 255 ? 0x7F800000u : bits));
}

ORBECK_INLINE float4 cn_gpu_divide(float4 n, float4 d)
{
    return (float4)(cn_gpu_divide1(n.x, d.x), cn_gpu_divide1(n.y, d.y),
                    cn_gpu_divide1(n.z, d.z), cn_gpu_divide1(n.w, d.w));
}
#endif

// Chain t: operand blocks (A, B, C, D) as two bits each, A lowest, and the
// start constant's bits.
__constant uint cn_gpu_chain_blocks[16] = {
    0xE4, 0x78, 0x9C, 0x6C, 0xE1, 0x39, 0x8D, 0x2D,
    0xC6, 0x72, 0x1E, 0x4E, 0x27, 0x4B, 0x93, 0x63,
};
__constant uint cn_gpu_chain_k[16] = {
    0x3FAC0000u, 0x3FA40000u, 0x3FAE0000u, 0x3FAF0000u, 0x3FB70000u, 0x3FB30000u,
    0x3FB10000u, 0x3FA70000u, 0x3FB50000u, 0x3FA30000u, 0x3FA10000u, 0x3FA50000u,
    0x3FA90000u, 0x3FAD0000u, 0x3FAB0000u, 0x3FBB0000u,
};

// Word reads rather than vload4: libclc has no generic-address vload, which
// an OpenCL C 2.0 build would otherwise call.
ORBECK_INLINE float4 cn_gpu_block(__local const uint *words, uint block)
{
    const uint4 v = (uint4)(words[4 * block], words[4 * block + 1], words[4 * block + 2],
                            words[4 * block + 3]);
    return convert_float4_rte(as_int4(v));
}

// Chains per work item. A CPU runs the items of a group one after another,
// so one item's chain is a single dependent sequence that leaves the core's
// pipelines idle; there the first item of each block runs the block's four
// chains side by side and the other three wait at the barrier. GPUs
// interleave items in hardware and keep one chain each.
#if defined(__x86_64__) || defined(__aarch64__)
#define CN_GPU_CHAINS_PER_ITEM 4
#else
#define CN_GPU_CHAINS_PER_ITEM 1
#endif

// One sub-round of every chain h with operands Q[a], Q[b], Q[e], Q[g]: the
// two masked products go into the round's sums and c moves on by fb,
// 0.734375 and their masked sum, in that order.
#define CN_GPU_SUB_ROUND(A, B, E, G)                                                       \
    _Pragma("unroll") for (int h = 0; h < CN_GPU_CHAINS_PER_ITEM; ++h)                     \
    {                                                                                      \
        const float4 u = q[h][B] + c[h];                                                   \
        const float4 p = q[h][A] * c[h];                                                   \
        const float4 p2 = p * p;                                                           \
        const float4 nn = cn_gpu_exp_odd(u * p2);                                          \
        n[h] = n[h] + nn;                                                                  \
        const float4 w = q[h][G] - c[h];                                                   \
        const float4 qe = q[h][E] * c[h];                                                  \
        const float4 q2 = qe * qe;                                                         \
        const float4 dd = cn_gpu_exp_odd(w * q2);                                          \
        d[h] = d[h] + dd;                                                                  \
        c[h] = c[h] + fb;                                                                  \
        c[h] = c[h] + 0.734375f;                                                           \
        c[h] = c[h] + cn_gpu_two_four(nn + dd);                                            \
    }

// Chains first .. first + CN_GPU_CHAINS_PER_ITEM - 1 of the group in words:
// their float results into r.
ORBECK_INLINE void cn_gpu_chains(__local const uint *words, uint first, float4 fb, float4 *r)
{
    float4 q[CN_GPU_CHAINS_PER_ITEM][4];
    float4 c[CN_GPU_CHAINS_PER_ITEM];
#pragma unroll
    for (int h = 0; h < CN_GPU_CHAINS_PER_ITEM; ++h) {
        const uint blocks = cn_gpu_chain_blocks[first + h];
#pragma unroll
        for (int i = 0; i < 4; ++i) {
            q[h][i] = cn_gpu_block(words, (blocks >> (2 * i)) & 3u);
        }
        c[h] = (float4)(as_float(cn_gpu_chain_k[first + h]));
        r[h] = (float4)(0.0f);
    }
    for (int round = 0; round < 4; ++round) {
        float4 n[CN_GPU_CHAINS_PER_ITEM];
        float4 d[CN_GPU_CHAINS_PER_ITEM];
#pragma unroll
        for (int h = 0; h < CN_GPU_CHAINS_PER_ITEM; ++h) {
            n[h] = (float4)(0.0f);
            d[h] = (float4)(0.0f);
        }
        CN_GPU_SUB_ROUND(0, 1, 2, 3)
        CN_GPU_SUB_ROUND(1, 2, 3, 0)
        CN_GPU_SUB_ROUND(2, 3, 0, 1)
        CN_GPU_SUB_ROUND(3, 0, 1, 2)
        CN_GPU_SUB_ROUND(3, 2, 1, 0)
        CN_GPU_SUB_ROUND(2, 1, 0, 3)
        CN_GPU_SUB_ROUND(1, 0, 3, 2)
        CN_GPU_SUB_ROUND(0, 3, 2, 1)
#pragma unroll
        for (int h = 0; h < CN_GPU_CHAINS_PER_ITEM; ++h) {
            r[h] = r[h] + cn_gpu_divide(n[h], cn_gpu_at_least_2(d[h]));
        }
    }
#pragma unroll
    for (int h = 0; h < CN_GPU_CHAINS_PER_ITEM; ++h) {
        r[h] = cn_gpu_two_four(r[h]);
    }
}

// The 16 bytes of w rotated toward lower addresses by m bytes.
ORBECK_INLINE uint4 cn_gpu_rotate_bytes(uint4 w, uint m)
{
    const uint bits = 8u * m;
    const uint4 rotated = (w >> bits) | (w.yzwx << (32u - bits));
    return m == 0 ? w : rotated;
}

// Local memory of one hash in the main loop.
typedef struct {
    uint words[16];     // the group as read: word j of block k at 4k + j
    uint4 res[16];      // chain t's integer result, rotated
    float4 sums[16];    // chain t's float result
    uint blk_out[16];   // word m of OUT_k at 4k + m
    float blk_sum[16];  // lane m of BSUM_k at 4k + m
    uint y[4];
    float fbn[4];
} cn_gpu_shared;


ORBECK_INLINE void cn_gpu_main(__global uint4 *Scratchpad0, __global uint4 *Scratchpad1,
                               __global const ulong *states, __global const uint *RunState,
                               __local cn_gpu_shared *shared, __local uint *stop,
                               const uint mem, const uint iterations, const uint mask)
{
    const uint t = get_local_id(0) % 16;
    const uint k = t / 4;
    const uint m = t % 4;
    const ulong items = get_global_size(0) / 16;
    const ulong item = (get_global_id(0) - get_global_offset(0)) / 16;
    __local cn_gpu_shared *sh = shared + get_local_id(0) / 16;
    __global uint *sp =
        (__global uint *)cn_scratchpad(Scratchpad0, Scratchpad1, item, items, mem);

    uint idx = (uint)states[item * 25] >> 8;
    float4 fb = (float4)(0.0f);

    for (uint outer = 0; outer < iterations; outer += CN_RUN_CHECK) {
        // One item reads the run flag for the whole group, so every item
        // leaves at the same barrier.
        if (get_local_id(0) == 0) {
            *stop = *(volatile __global const uint *)RunState;
        }
        barrier(CLK_LOCAL_MEM_FENCE);
        if (*stop) {
            return;
        }
        const uint block = min(CN_RUN_CHECK, iterations - outer);
        for (uint inner = 0; inner < block; ++inner) {
            // 1. The 64-byte group: item t loads word t.
            __global uint *word = sp + (((idx & mask) >> 2) + t);
            const uint v = *word;
            sh->words[t] = v;
            barrier(CLK_LOCAL_MEM_FENCE);

            // 2. Chain t (and the next ones of its block where an item runs several).
            if (t % CN_GPU_CHAINS_PER_ITEM == 0) {
                float4 r[CN_GPU_CHAINS_PER_ITEM];
                cn_gpu_chains(sh->words, t, fb, r);
#pragma unroll
                for (int h = 0; h < CN_GPU_CHAINS_PER_ITEM; ++h) {
                    sh->sums[t + h] = r[h];
                    // R * (2^29 - 32) is a whole number below 2^31: the conversion is exact.
                    sh->res[t + h] = cn_gpu_rotate_bytes(
                        as_uint4(convert_int4_rtz(r[h] * 536870880.0f)), (t + h) % 4);
                }
            }
            barrier(CLK_LOCAL_MEM_FENCE);

            // 3. Word m of block k: OUT_k written back, and lane m of BSUM_k.
            __local const uint *res = (__local const uint *)sh->res;
            __local const float *sums = (__local const float *)sh->sums;
            const uint base = 16 * k + m;
            const uint out = res[base] ^ res[base + 4] ^ res[base + 8] ^ res[base + 12];
            *word = v ^ out;
            sh->blk_out[t] = out;
            sh->blk_sum[t] = (sums[base] + sums[base + 4]) + (sums[base + 8] + sums[base + 12]);
            barrier(CLK_LOCAL_MEM_FENCE);

            // 4. Lane j = t of the next index and feedback.
            if (t < 4) {
                const uint out2 =
                    sh->blk_out[t] ^ sh->blk_out[4 + t] ^ sh->blk_out[8 + t] ^ sh->blk_out[12 + t];
                float sum = (sh->blk_sum[t] + sh->blk_sum[4 + t]) +
                            (sh->blk_sum[8 + t] + sh->blk_sum[12 + t]);
                sum = as_float(as_uint(sum) & 0x7FFFFFFFu);
                sh->y[t] = (uint)convert_int_rtz(sum * 16777216.0f) ^ out2;
                sh->fbn[t] = sum / 64.0f;  // exact: a power of two
            }
            barrier(CLK_LOCAL_MEM_FENCE);

            // 5. Every item takes the new values.
            fb = (float4)(sh->fbn[0], sh->fbn[1], sh->fbn[2], sh->fbn[3]);
            idx = sh->y[0] ^ sh->y[1] ^ sh->y[2] ^ sh->y[3];
        }
    }
}

// The main kernel of a float-loop row: LOCAL / 16 hashes per group.
#define CN_GPU_MAIN(NAME, LOCAL, MEM, ITER, MASK, VARIANT)                                  \
    __attribute__((reqd_work_group_size(LOCAL, 1, 1))) __kernel void NAME(                 \
        __global uint4 *Scratchpad0, __global uint4 *Scratchpad1,                          \
        __global const ulong *states, __global const uint *RunState)                       \
    {                                                                                      \
        __local cn_gpu_shared shared[LOCAL / 16];                                          \
        __local uint stop;                                                                 \
        cn_gpu_main(Scratchpad0, Scratchpad1, states, RunState, shared, &stop, MEM, ITER,  \
                    MASK);                                                                 \
    }
