// JH-256 (the final submission: E8 with 42 rounds on a 1024-bit state). This
// follows the bit-grouped reference form: the state is regrouped into 256
// four-bit elements, each round applies the S-boxes chosen by the round
// constant bits, the linear layer L and the permutation P8, and the round
// constants themselves evolve by the same round function on 256 bits (R6).

__constant uchar jh_sbox[2][16] = {{9, 0, 4, 11, 13, 12, 3, 15, 1, 10, 2, 6, 7, 5, 8, 14},
                                   {3, 12, 6, 13, 5, 7, 1, 9, 15, 2, 0, 4, 11, 10, 14, 8}};

// Round constant of round 0: the first 256 bits of the fraction of sqrt(2).
__constant uchar jh_round_constant0[32] = {
    0x6A, 0x09, 0xE6, 0x67, 0xF3, 0xBC, 0xC9, 0x08, 0xB2, 0xFB, 0x13, 0x66, 0xEA, 0x95, 0x7D, 0x3E,
    0x3A, 0xDE, 0xC1, 0x75, 0x12, 0x77, 0x50, 0x99, 0xDA, 0x2F, 0x59, 0x0B, 0x06, 0x67, 0x32, 0x2A};

// The linear layer on two four-bit elements.
#define JH_L(a, b)                                                                       \
    do {                                                                                 \
        (b) ^= (((a) << 1) ^ ((a) >> 3) ^ (((a) >> 2) & 2)) & 0xF;                      \
        (a) ^= (((b) << 1) ^ ((b) >> 3) ^ (((b) >> 2) & 2)) & 0xF;                      \
    } while (0)

// Permutation P_d on 2^d four-bit elements: swap within pairs of pairs, split
// even and odd elements into the two halves, swap pairs in the second half.
ORBECK_INLINE void jh_permute(uchar *dst, uchar *tem, uint count)
{
    for (uint i = 0; i < count; i += 4) {
        const uchar t = tem[i + 2];
        tem[i + 2] = tem[i + 3];
        tem[i + 3] = t;
    }
    const uint halfway = count / 2;
    for (uint i = 0; i < halfway; ++i) {
        dst[i] = tem[2 * i];
        dst[i + halfway] = tem[2 * i + 1];
    }
    for (uint i = halfway; i < count; i += 2) {
        const uchar t = dst[i];
        dst[i] = dst[i + 1];
        dst[i + 1] = t;
    }
}

ORBECK_INLINE void jh_e8(uchar *H)
{
    uchar a[256];
    uchar tem[256];
    uchar rc[64];
    uchar rc_tem[64];
    for (uint i = 0; i < 64; ++i) {
        rc[i] = (jh_round_constant0[i >> 1] >> ((i & 1) ? 0 : 4)) & 0xF;
    }
    // Group bits i, i+256, i+512 and i+768 of H into element i, then
    // interleave the two halves.
    for (uint i = 0; i < 256; ++i) {
        const uint shift = 7 - (i & 7);
        const uint t0 = (H[i >> 3] >> shift) & 1;
        const uint t1 = (H[(i + 256) >> 3] >> shift) & 1;
        const uint t2 = (H[(i + 512) >> 3] >> shift) & 1;
        const uint t3 = (H[(i + 768) >> 3] >> shift) & 1;
        tem[i] = (uchar)((t0 << 3) | (t1 << 2) | (t2 << 1) | t3);
    }
    for (uint i = 0; i < 128; ++i) {
        a[2 * i] = tem[i];
        a[2 * i + 1] = tem[i + 128];
    }
    for (uint round = 0; round < 42; ++round) {
        // R8: S-boxes chosen by the constant bits, L, P8.
        for (uint i = 0; i < 256; ++i) {
            const uint bit = (rc[i >> 2] >> (3 - (i & 3))) & 1;
            tem[i] = jh_sbox[bit][a[i]];
        }
        for (uint i = 0; i < 256; i += 2) {
            uchar x = tem[i];
            uchar y = tem[i + 1];
            JH_L(x, y);
            tem[i] = x;
            tem[i + 1] = y;
        }
        jh_permute(a, tem, 256);
        // R6 on the round constant, with S-box 0 throughout.
        for (uint i = 0; i < 64; ++i) {
            rc_tem[i] = jh_sbox[0][rc[i]];
        }
        for (uint i = 0; i < 64; i += 2) {
            uchar x = rc_tem[i];
            uchar y = rc_tem[i + 1];
            JH_L(x, y);
            rc_tem[i] = x;
            rc_tem[i + 1] = y;
        }
        jh_permute(rc, rc_tem, 64);
    }
    // Inverse of the grouping.
    for (uint i = 0; i < 128; ++i) {
        tem[i] = a[2 * i];
        tem[i + 128] = a[2 * i + 1];
    }
    for (uint i = 0; i < 128; ++i) {
        H[i] = 0;
    }
    for (uint i = 0; i < 256; ++i) {
        const uint shift = 7 - (i & 7);
        H[i >> 3] |= (uchar)(((tem[i] >> 3) & 1) << shift);
        H[(i + 256) >> 3] |= (uchar)(((tem[i] >> 2) & 1) << shift);
        H[(i + 512) >> 3] |= (uchar)(((tem[i] >> 1) & 1) << shift);
        H[(i + 768) >> 3] |= (uchar)((tem[i] & 1) << shift);
    }
}

// Compression F8: message into the first half, E8, message into the second.
ORBECK_INLINE void jh_f8(uchar *H, const uchar *m)
{
    for (uint i = 0; i < 64; ++i) {
        H[i] ^= m[i];
    }
    jh_e8(H);
    for (uint i = 0; i < 64; ++i) {
        H[64 + i] ^= m[i];
    }
}

// JH-256 of len bytes held as little-endian words; digest as in blake256_hash.
ORBECK_INLINE void jh256_hash(const ulong *msg, uint len, uint *digest)
{
    uchar H[128];
    uchar m[64];
    for (uint i = 0; i < 128; ++i) {
        H[i] = 0;
    }
    for (uint i = 0; i < 64; ++i) {
        m[i] = 0;
    }
    H[0] = 0x01;  // output length 256, big-endian 16 bits
    jh_f8(H, m);

    ulong w[8];
    uint off = 0;
    for (; len - off >= 64; off += 64) {
        orbeck_load_block(msg, len, off, w);
        groestl_words_to_bytes(w, m);
        jh_f8(H, m);
    }
    const ulong bits = (ulong)len * 8;
    const uint rem = len - off;
    orbeck_load_block(msg, len, off, w);
    groestl_words_to_bytes(w, m);
    m[rem] = 0x80;
    if (rem != 0) {
        jh_f8(H, m);
        for (uint i = 0; i < 64; ++i) {
            m[i] = 0;
        }
    }
    for (uint i = 0; i < 8; ++i) {
        m[56 + i] = (uchar)(bits >> (8 * (7 - i)));
    }
    jh_f8(H, m);
    for (uint i = 0; i < 8; ++i) {
        const uint k = 96 + 4 * i;
        digest[i] = (uint)H[k] | ((uint)H[k + 1] << 8) | ((uint)H[k + 2] << 16) |
                    ((uint)H[k + 3] << 24);
    }
}
