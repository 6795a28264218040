// Skein-512-256 (version 1.3): UBI chaining over Threefish-512, no key.

#define SKEIN_KS_PARITY 0x1BD11BDAA9FC1A22UL
#define SKEIN_FLAG_FIRST ((ulong)1 << 62)
#define SKEIN_FLAG_FINAL ((ulong)1 << 63)
#define SKEIN_TYPE_CONFIG ((ulong)4 << 56)
#define SKEIN_TYPE_MESSAGE ((ulong)48 << 56)
#define SKEIN_TYPE_OUTPUT ((ulong)63 << 56)

__constant uchar threefish512_rotation[8][4] = {{46, 36, 19, 37}, {33, 27, 14, 42},
                                                {17, 49, 36, 39}, {44, 9, 54, 56},
                                                {39, 30, 34, 24}, {13, 50, 10, 17},
                                                {25, 29, 39, 43}, {8, 35, 56, 22}};
__constant uchar threefish512_permutation[8] = {2, 1, 4, 7, 6, 5, 0, 3};

// Four Threefish-512 rounds with the rotation rows row0..row0+3.
ORBECK_INLINE void threefish512_four_rounds(ulong *x, const int row0)
{
#pragma unroll
    for (int r = 0; r < 4; ++r) {
        ulong y[8];
#pragma unroll
        for (int j = 0; j < 4; ++j) {
            x[2 * j] += x[2 * j + 1];
            x[2 * j + 1] =
                rotate(x[2 * j + 1], (ulong)threefish512_rotation[row0 + r][j]) ^ x[2 * j];
        }
#pragma unroll
        for (int i = 0; i < 8; ++i) {
            y[i] = x[threefish512_permutation[i]];
        }
#pragma unroll
        for (int i = 0; i < 8; ++i) {
            x[i] = y[i];
        }
    }
}

// Key injection s: ks holds key words s..s+8 (mod 9) and ts tweak words
// s..s+2 (mod 3); both are rotated by one for the next injection, so that
// every index is a constant (an indexed private array would live in a GPU's
// scratch memory).
ORBECK_INLINE void threefish512_inject(ulong *x, ulong *ks, ulong *ts, uint s)
{
#pragma unroll
    for (int i = 0; i < 8; ++i) {
        x[i] += ks[i];
    }
    x[5] += ts[0];
    x[6] += ts[1];
    x[7] += s;
    const ulong k0 = ks[0];
#pragma unroll
    for (int i = 0; i < 8; ++i) {
        ks[i] = ks[i + 1];
    }
    ks[8] = k0;
    const ulong t0 = ts[0];
    ts[0] = ts[1];
    ts[1] = ts[2];
    ts[2] = t0;
}

// UBI step: h = Threefish-512(key h, tweak t0/t1, block m) XOR m.
ORBECK_INLINE void skein512_ubi(ulong *h, const ulong *m, ulong t0, ulong t1)
{
    ulong k[9];
    k[8] = SKEIN_KS_PARITY;
#pragma unroll
    for (int i = 0; i < 8; ++i) {
        k[i] = h[i];
        k[8] ^= h[i];
    }
    ulong x[8];
#pragma unroll
    for (int i = 0; i < 8; ++i) {
        x[i] = m[i] + k[i];
    }
    x[5] += t0;
    x[6] += t1;
    // Key and tweak words as the first injection (s = 1) reads them.
    ulong ks[9];
#pragma unroll
    for (int i = 0; i < 9; ++i) {
        ks[i] = k[(i + 1) % 9];
    }
    ulong ts[3] = {t1, t0 ^ t1, t0};
    // 72 rounds: eight per pass, a key injection after every fourth.
    for (uint s = 1; s < 19; s += 2) {
        threefish512_four_rounds(x, 0);
        threefish512_inject(x, ks, ts, s);
        threefish512_four_rounds(x, 4);
        threefish512_inject(x, ks, ts, s + 1);
    }
#pragma unroll
    for (int i = 0; i < 8; ++i) {
        h[i] = x[i] ^ m[i];
    }
}

// Skein-512-256 of len bytes held as little-endian words; digest as in
// blake256_hash.
ORBECK_INLINE void skein512_256_hash(const ulong *msg, uint len, uint *digest)
{
    ulong h[8];
    ulong w[8];
    for (int i = 0; i < 8; ++i) {
        h[i] = 0;
        w[i] = 0;
    }
    // Configuration block: schema "SHA3", version 1, 256 output bits.
    w[0] = 0x0000000133414853UL;
    w[1] = 256;
    skein512_ubi(h, w, 32, SKEIN_FLAG_FIRST | SKEIN_FLAG_FINAL | SKEIN_TYPE_CONFIG);

    const uint blocks = len == 0 ? 1 : (len + 63) / 64;
#pragma unroll
    for (uint b = 0; b < blocks; ++b) {
        const uint off = b * 64;
        const bool last = b + 1 == blocks;
        orbeck_load_block(msg, len, off, w);
        ulong flags = SKEIN_TYPE_MESSAGE;
        if (b == 0) {
            flags |= SKEIN_FLAG_FIRST;
        }
        if (last) {
            flags |= SKEIN_FLAG_FINAL;
        }
        skein512_ubi(h, w, last ? len : off + 64, flags);
    }

    for (int i = 0; i < 8; ++i) {
        w[i] = 0;
    }
    skein512_ubi(h, w, 8, SKEIN_FLAG_FIRST | SKEIN_FLAG_FINAL | SKEIN_TYPE_OUTPUT);
    for (int i = 0; i < 4; ++i) {
        digest[2 * i] = (uint)h[i];
        digest[2 * i + 1] = (uint)(h[i] >> 32);
    }
}
