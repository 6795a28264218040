// Orbeck OpenCL kernels: shared definitions.
//
// The kernel files are concatenated in a fixed order into one program source
// (see src/gpu/CMakeLists.txt), so no file includes another. The source must
// build as OpenCL C 1.2 and as OpenCL C 2.0, on PoCL, AMD and NVIDIA. All
// targets are little-endian, which the byte layouts below rely on.

// No multiply and add is ever fused: the float steps of the hash (the
// conceal step, the V8 square root's estimate) are exact only with each
// operation rounded on its own, on every device.
#pragma OPENCL FP_CONTRACT OFF

#if defined(cl_khr_fp64)
#pragma OPENCL EXTENSION cl_khr_fp64 : enable
#define ORBECK_HAVE_FP64 1
#elif defined(cl_amd_fp64)
#pragma OPENCL EXTENSION cl_amd_fp64 : enable
#define ORBECK_HAVE_FP64 1
#endif

#ifndef WORKSIZE
#define WORKSIZE 8
#endif

// Helpers called with compile-time constant arguments are forced inline so
// that every kernel gets its own specialised copy (no run-time switches).
#define ORBECK_INLINE static inline __attribute__((always_inline))

// The full 128-bit product of two 64-bit values: the low half is returned,
// the high half stored in *hi. PoCL's mul_hi for 64 bits is built from four
// 32-bit products on x86-64, where the compiler's 128-bit type gives the
// single native multiply.
ORBECK_INLINE ulong orbeck_mul128(ulong a, ulong b, ulong *hi)
{
#if defined(__SIZEOF_INT128__) && defined(__x86_64__)
    const unsigned __int128 product = (unsigned __int128)a * b;
    *hi = (ulong)(product >> 64);
    return (ulong)product;
#else
    *hi = mul_hi(a, b);
    return a * b;
#endif
}

// Byte i of a little-endian array of 64-bit words.
#define ORBECK_BYTE(words, i) ((uint)((words)[(i) >> 3] >> (((i) & 7) << 3)) & 0xFFu)

// The eight little-endian words of the 64-byte block at byte offset off (a
// multiple of 8) of a message of len bytes; bytes past the end read as zero.
ORBECK_INLINE void orbeck_load_block(const ulong *msg, uint len, uint off, ulong *w)
{
#pragma unroll
    for (uint i = 0; i < 8; ++i) {
        const uint start = off + 8 * i;
        ulong v = 0;
        if (start + 8 <= len) {
            v = msg[start >> 3];
        } else if (start < len) {
            v = msg[start >> 3] & (((ulong)1 << ((len - start) * 8)) - 1);
        }
        w[i] = v;
    }
}

ORBECK_INLINE uint orbeck_bswap32(uint x)
{
    return as_uint(as_uchar4(x).s3210);
}
