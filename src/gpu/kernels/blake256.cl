// BLAKE-256 (the final SHA-3 submission: 14 rounds, zero salt).

__constant uint blake256_iv[8] = {0x6A09E667u, 0xBB67AE85u, 0x3C6EF372u, 0xA54FF53Au,
                                  0x510E527Fu, 0x9B05688Cu, 0x1F83D9ABu, 0x5BE0CD19u};

__constant uint blake256_const[16] = {
    0x243F6A88u, 0x85A308D3u, 0x13198A2Eu, 0x03707344u, 0xA4093822u, 0x299F31D0u,
    0x082EFA98u, 0xEC4E6C89u, 0x452821E6u, 0x38D01377u, 0xBE5466CFu, 0x34E90C6Cu,
    0xC0AC29B7u, 0xC97C50DDu, 0x3F84D5B5u, 0xB5470917u};

__constant uchar blake256_sigma[10][16] = {
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
    {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3},
    {11, 8, 12, 0, 5, 2, 15, 13, 10, 14, 3, 6, 7, 1, 9, 4},
    {7, 9, 3, 1, 13, 12, 11, 14, 2, 6, 5, 10, 4, 0, 15, 8},
    {9, 0, 5, 7, 2, 4, 10, 15, 14, 1, 11, 12, 6, 8, 3, 13},
    {2, 12, 6, 10, 0, 11, 8, 3, 4, 13, 7, 5, 15, 14, 1, 9},
    {12, 5, 1, 15, 14, 13, 4, 10, 0, 7, 6, 3, 9, 2, 8, 11},
    {13, 11, 7, 14, 12, 1, 3, 9, 5, 0, 15, 4, 8, 6, 2, 10},
    {6, 15, 14, 9, 11, 3, 0, 8, 12, 2, 13, 7, 1, 4, 10, 5},
    {10, 2, 8, 4, 7, 6, 1, 5, 15, 11, 9, 14, 3, 12, 13, 0}};

#define BLAKE256_G(a, b, c, d, i)                                                        \
    do {                                                                                 \
        const uint s0 = blake256_sigma[r % 10][2 * (i)];                                 \
        const uint s1 = blake256_sigma[r % 10][2 * (i) + 1];                             \
        v[a] += v[b] + (m[s0] ^ blake256_const[s1]);                                     \
        v[d] = rotate(v[d] ^ v[a], 16u);                                                 \
        v[c] += v[d];                                                                    \
        v[b] = rotate(v[b] ^ v[c], 20u);                                                 \
        v[a] += v[b] + (m[s1] ^ blake256_const[s0]);                                     \
        v[d] = rotate(v[d] ^ v[a], 24u);                                                 \
        v[c] += v[d];                                                                    \
        v[b] = rotate(v[b] ^ v[c], 25u);                                                 \
    } while (0)

// One compression; words holds the block as eight little-endian 64-bit words
// and t is the message bit counter of the block (0 for a padding-only block).
// The rounds are unrolled so that every message index is a constant: an
// indexed private array would live in a GPU's scratch memory.
ORBECK_INLINE void blake256_compress(uint *h, const ulong *words, ulong t)
{
    uint m[16];
#pragma unroll
    for (int i = 0; i < 8; ++i) {
        m[2 * i] = orbeck_bswap32((uint)words[i]);
        m[2 * i + 1] = orbeck_bswap32((uint)(words[i] >> 32));
    }
    uint v[16];
#pragma unroll
    for (int i = 0; i < 8; ++i) {
        v[i] = h[i];
        v[i + 8] = blake256_const[i];
    }
    v[12] ^= (uint)t;
    v[13] ^= (uint)t;
    v[14] ^= (uint)(t >> 32);
    v[15] ^= (uint)(t >> 32);
#pragma unroll
    for (int r = 0; r < 14; ++r) {
        // columns
        BLAKE256_G(0, 4, 8, 12, 0);
        BLAKE256_G(1, 5, 9, 13, 1);
        BLAKE256_G(2, 6, 10, 14, 2);
        BLAKE256_G(3, 7, 11, 15, 3);
        // diagonals
        BLAKE256_G(0, 5, 10, 15, 4);
        BLAKE256_G(1, 6, 11, 12, 5);
        BLAKE256_G(2, 7, 8, 13, 6);
        BLAKE256_G(3, 4, 9, 14, 7);
    }
    for (int i = 0; i < 8; ++i) {
        h[i] ^= v[i] ^ v[i + 8];
    }
}

// BLAKE-256 of len bytes held as little-endian words; the digest is returned
// as eight little-endian words (digest bytes 4k..4k+3 in word k).
ORBECK_INLINE void blake256_hash(const ulong *msg, uint len, uint *digest)
{
    uint h[8];
    for (int i = 0; i < 8; ++i) {
        h[i] = blake256_iv[i];
    }
    ulong w[8];
    uint off = 0;
#pragma unroll
    for (; len - off >= 64; off += 64) {
        orbeck_load_block(msg, len, off, w);
        blake256_compress(h, w, (ulong)(off + 64) * 8);
    }
    const uint rem = len - off;
    const ulong bits = (ulong)len * 8;
    const ulong length_word = as_ulong(as_uchar8(bits).s76543210);
    orbeck_load_block(msg, len, off, w);
    w[rem >> 3] |= (ulong)0x80 << ((rem & 7) * 8);
    if (rem < 56) {
        w[6] |= (ulong)0x01 << 56;  // byte 55
        w[7] = length_word;
        blake256_compress(h, w, rem != 0 ? bits : 0);
    } else {
        blake256_compress(h, w, bits);
        for (int i = 0; i < 7; ++i) {
            w[i] = 0;
        }
        w[6] = (ulong)0x01 << 56;
        w[7] = length_word;
        blake256_compress(h, w, 0);
    }
    for (int i = 0; i < 8; ++i) {
        digest[i] = orbeck_bswap32(h[i]);
    }
}
