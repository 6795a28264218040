// Keccak-f[1600], 24 rounds, on 25 little-endian 64-bit lanes.

__constant ulong keccak_round_constants[24] = {
  0x0000000000000001, 0x0000000000008082, 0x800000000000808a,
  0x8000000080008000, 0x000000000000808b, 0x0000000080000001,
  0x8000000080008081, 0x8000000000008009, 0x000000000000008a,
  0x0000000000000088, 0x0000000080008009, 0x000000008000000a,
  0x000000008000808b, 0x800000000000008b, 0x8000000000008089,
  0x8000000000008003, 0x8000000000008002, 0x8000000000000080,
  0x000000000000800a, 0x800000008000000a, 0x8000000080008081,
  0x8000000000008080, 0x0000000080000001, 0x8000000080008008,
};

// Rotation offsets and lane order of the combined rho and pi step, walking
// the pi cycle that starts at lane 1.
__constant uint keccak_rho[24] = {1,  3,  6,  10, 15, 21, 28, 36, 45, 55, 2,  14,
                                   27, 41, 56, 8,  25, 43, 62, 18, 39, 61, 20, 44};
__constant uint keccak_pi[24] = {10, 7,  11, 17, 18, 3, 5,  16, 8,  21, 24, 4,
                                  15, 23, 19, 13, 12, 2, 20, 14, 22, 9,  6,  1};

ORBECK_INLINE void keccakf1600(ulong *st)
{
    for (int round = 0; round < 24; ++round) {
        ulong bc[5];
        // theta
#pragma unroll
        for (int i = 0; i < 5; ++i) {
            bc[i] = st[i] ^ st[i + 5] ^ st[i + 10] ^ st[i + 15] ^ st[i + 20];
        }
#pragma unroll
        for (int i = 0; i < 5; ++i) {
            const ulong t = bc[(i + 4) % 5] ^ rotate(bc[(i + 1) % 5], (ulong)1);
#pragma unroll
            for (int j = 0; j < 25; j += 5) {
                st[j + i] ^= t;
            }
        }
        // rho and pi
        ulong carry = st[1];
#pragma unroll
        for (int i = 0; i < 24; ++i) {
            const uint j = keccak_pi[i];
            const ulong next = st[j];
            st[j] = rotate(carry, (ulong)keccak_rho[i]);
            carry = next;
        }
        // chi
#pragma unroll
        for (int j = 0; j < 25; j += 5) {
#pragma unroll
            for (int i = 0; i < 5; ++i) {
                bc[i] = st[j + i];
            }
#pragma unroll
            for (int i = 0; i < 5; ++i) {
                st[j + i] ^= (~bc[(i + 1) % 5]) & bc[(i + 2) % 5];
            }
        }
        // iota
        st[0] ^= keccak_round_constants[round];
    }
}
