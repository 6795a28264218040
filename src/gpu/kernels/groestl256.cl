// Groestl-256 (the final, tweaked submission): 512-bit permutations P and Q
// with 10 rounds each. The 64-byte state is kept as bytes in column order:
// byte 8 * column + row, which is also the message byte order.

__constant uchar groestl_shift_p[8] = {0, 1, 2, 3, 4, 5, 6, 7};
__constant uchar groestl_shift_q[8] = {1, 3, 5, 7, 0, 2, 4, 6};
__constant uchar groestl_mix[8] = {2, 2, 3, 4, 5, 3, 5, 7};

ORBECK_INLINE uint groestl_mul(uint a, uint factor)
{
    const uint a2 = ((a << 1) ^ ((a & 0x80u) ? 0x1Bu : 0u)) & 0xFFu;
    const uint a4 = ((a2 << 1) ^ ((a2 & 0x80u) ? 0x1Bu : 0u)) & 0xFFu;
    uint r = 0;
    if (factor & 1u) {
        r ^= a;
    }
    if (factor & 2u) {
        r ^= a2;
    }
    if (factor & 4u) {
        r ^= a4;
    }
    return r;
}

ORBECK_INLINE void groestl_permute(uchar *a, const bool q)
{
    uchar t[64];
    for (uint round = 0; round < 10; ++round) {
        // AddRoundConstant
        for (uint col = 0; col < 8; ++col) {
            if (q) {
                for (uint row = 0; row < 7; ++row) {
                    a[col * 8 + row] ^= 0xFF;
                }
                a[col * 8 + 7] ^= (uchar)(0xFFu ^ (col << 4) ^ round);
            } else {
                a[col * 8] ^= (uchar)((col << 4) ^ round);
            }
        }
        // SubBytes and ShiftBytes
        for (uint col = 0; col < 8; ++col) {
            for (uint row = 0; row < 8; ++row) {
                const uint shift = q ? groestl_shift_q[row] : groestl_shift_p[row];
                t[col * 8 + row] = aes_sbox[a[((col + shift) & 7) * 8 + row]];
            }
        }
        // MixBytes
        for (uint col = 0; col < 8; ++col) {
            for (uint row = 0; row < 8; ++row) {
                uint sum = 0;
                for (uint k = 0; k < 8; ++k) {
                    sum ^= groestl_mul(t[col * 8 + k], groestl_mix[(k - row) & 7]);
                }
                a[col * 8 + row] = (uchar)sum;
            }
        }
    }
}

ORBECK_INLINE void groestl_words_to_bytes(const ulong *w, uchar *bytes)
{
    for (uint i = 0; i < 64; ++i) {
        bytes[i] = (uchar)(w[i >> 3] >> ((i & 7) * 8));
    }
}

// Groestl-256 of len bytes held as little-endian words; digest as in blake256_hash.
ORBECK_INLINE void groestl256_hash(const ulong *msg, uint len, uint *digest)
{
    uchar h[64];
    for (uint i = 0; i < 64; ++i) {
        h[i] = 0;
    }
    h[62] = 0x01;  // output length 256, big-endian
    const uint blocks = (len + 9 + 63) / 64;
    ulong w[8];
    uchar m[64];
    uchar p[64];
    for (uint b = 0; b < blocks; ++b) {
        const uint off = b * 64;
        orbeck_load_block(msg, len, off, w);
        groestl_words_to_bytes(w, m);
        if (len >= off && len < off + 64) {
            m[len - off] = 0x80;
        }
        if (b == blocks - 1) {
            for (uint i = 0; i < 8; ++i) {
                m[56 + i] = (uchar)((ulong)blocks >> (8 * (7 - i)));
            }
        }
        for (uint i = 0; i < 64; ++i) {
            p[i] = h[i] ^ m[i];
        }
        groestl_permute(p, false);
        groestl_permute(m, true);
        for (uint i = 0; i < 64; ++i) {
            h[i] ^= p[i] ^ m[i];
        }
    }
    for (uint i = 0; i < 64; ++i) {
        p[i] = h[i];
    }
    groestl_permute(p, false);
    for (uint i = 0; i < 8; ++i) {
        const uint k = 32 + 4 * i;
        digest[i] = (uint)(p[k] ^ h[k]) | ((uint)(p[k + 1] ^ h[k + 1]) << 8) |
                    ((uint)(p[k + 2] ^ h[k + 2]) << 16) | ((uint)(p[k + 3] ^ h[k + 3]) << 24);
    }
}
