// Stand-in kernels with the names, arguments and work-group sizes of the
// real ones but a cheap "hash", so the host side (buffers, arguments,
// launch shapes, offsets, result lists) can be checked exactly and fast.
// launch_test.cpp computes the same values on the CPU (MockHash).
#ifndef WORKSIZE
#error "WORKSIZE must be defined by the build options"
#endif

#define STATE_WORDS 25

uint mock_mix(uint x) {
  x ^= x >> 16;
  x *= 0x7feb352dU;
  x ^= x >> 15;
  x *= 0x846ca68bU;
  x ^= x >> 16;
  return x;
}

// Prepare: records the nonce, the input, its own id and its launch shape.
#define MOCK_PREPARE(name, id)                                                          \
  __attribute__((reqd_work_group_size(8, 8, 1))) __kernel void name(                    \
      __global const ulong* input, __global uint4* Scratchpad0, __global uint4* Scratchpad1, \
      __global ulong* states, __global const uint* RunState) {                          \
    if (get_local_id(1) != 0) return;                                                   \
    const size_t g = get_global_id(0) - get_global_offset(0);                           \
    __global ulong* s = states + STATE_WORDS * g;                                       \
    s[0] = get_global_id(0);                                                            \
    s[1] = input[0] ^ input[4] ^ input[10];                                             \
    s[2] = id;                                                                          \
    s[3] = get_local_size(0) * 100 + get_local_size(1) * 10 + get_global_size(1);       \
    Scratchpad0[g] = (uint4)((uint)s[0]);                                               \
    Scratchpad1[g] = (uint4)((uint)s[0] ^ 0x55555555U);                                          \
  }

#define MOCK_MAIN_BODY(id)                                                              \
  const size_t g = get_global_id(0) - get_global_offset(0);                             \
  __global ulong* s = states + STATE_WORDS * g;                                         \
  s[4] = id;                                                                            \
  s[5] = get_local_size(0);                                                             \
  s[9] = Scratchpad0[g].x ^ Scratchpad1[g].x;

#define MOCK_MAIN(name, id, local)                                                      \
  __attribute__((reqd_work_group_size(local, 1, 1))) __kernel void name(                \
      __global uint4* Scratchpad0, __global uint4* Scratchpad1, __global ulong* states, \
      __global const uint* RunState) {                                                  \
    MOCK_MAIN_BODY(id)                                                                  \
    s[6] = 0;                                                                           \
  }

#define MOCK_MAIN_TWEAK(name, id)                                                       \
  __attribute__((reqd_work_group_size(8, 1, 1))) __kernel void name(                    \
      __global uint4* Scratchpad0, __global uint4* Scratchpad1, __global ulong* states, \
      __global const uint* RunState, ulong input35) {                                   \
    MOCK_MAIN_BODY(id)                                                                  \
    s[6] = input35;                                                                     \
  }

// The random loop's main kernel, built alone per height group like the
// real one (CN_RANDOM_SLOTS), records the height it was pointed at: its
// group's first height plus its slot. A launch with the run flag set (the
// builder's warm-up) does nothing.
#define MOCK_MAIN_RANDOM(name, id)                                                      \
  __attribute__((reqd_work_group_size(16, 1, 1))) __kernel void name(                   \
      __global uint4* Scratchpad0, __global uint4* Scratchpad1, __global ulong* states, \
      __global const uint* RunState, uint slot) {                                       \
    if (*RunState != 0) return;                                                         \
    MOCK_MAIN_BODY(id)                                                                  \
    s[6] = CN_RANDOM_FIRST_HEIGHT + slot;                                               \
  }

// Collect: folds the record into one word and files the item under the
// branch of its nonce's low two bits.
#define MOCK_COLLECT(name, id)                                                          \
  __kernel void name(__global const uint4* Scratchpad0, __global const uint4* Scratchpad1, \
                     __global ulong* states, __global uint* Branch0, __global uint* Branch1, \
                     __global uint* Branch2, __global uint* Branch3,                    \
                     __global const uint* RunState) {                                   \
    if (get_local_id(1) != 0) return;                                                   \
    const size_t g = get_global_id(0) - get_global_offset(0);                           \
    const uint n = (uint)get_global_size(0);                                            \
    __global ulong* s = states + STATE_WORDS * g;                                       \
    const ulong folded = s[1] ^ (s[2] << 8) ^ (s[3] << 16) ^ (s[4] << 32) ^ (s[5] << 40) ^ \
                         s[6] ^ ((ulong)id << 48) ^ ((ulong)(s[9] == 0x55555555UL ? 0 : 1) << 56); \
    s[8] = folded;                                                                      \
    const uint branch = (uint)s[0] & 3U;                                                \
    __global uint* list = branch == 0 ? Branch0 : branch == 1 ? Branch1                 \
                        : branch == 2 ? Branch2 : Branch3;                              \
    list[atomic_inc(list + n)] = (uint)g;                                               \
  }

// A main kernel with 16 work items per hash (groups of 128): item 0 of each
// hash writes what MOCK_MAIN writes.
#define MOCK_MAIN_GPU(name, id)                                                         \
  __attribute__((reqd_work_group_size(128, 1, 1))) __kernel void name(                  \
      __global uint4* Scratchpad0, __global uint4* Scratchpad1, __global ulong* states, \
      __global const uint* RunState) {                                                  \
    if (get_local_id(0) % 16 != 0) return;                                              \
    const size_t g = (get_global_id(0) - get_global_offset(0)) / 16;                    \
    __global ulong* s = states + STATE_WORDS * g;                                       \
    s[4] = id;                                                                          \
    s[5] = get_local_size(0);                                                           \
    s[9] = Scratchpad0[g].x ^ Scratchpad1[g].x;                                         \
    s[6] = 0;                                                                           \
  }

#define MOCK_HASH(name, branch)                                                         \
  __kernel void name(__global const ulong* states, __global const uint* BranchBuf,      \
                     __global uint* output, uint Target) {                              \
    const size_t i = get_global_id(0) - get_global_offset(0);                           \
    const uint n = (uint)get_global_size(0);                                            \
    if (i >= BranchBuf[n]) return;                                                      \
    __global const ulong* s = states + STATE_WORDS * BranchBuf[i];                      \
    const uint h = mock_mix((uint)s[8] ^ mock_mix((uint)(s[8] >> 32)) ^                 \
                            mock_mix((uint)s[0] + branch * 0x9e3779b9U) ^               \
                            (uint)get_local_size(0) * 7919U);                           \
    if (h < Target) {                                                                   \
      const uint k = atomic_inc(output + 255);                                          \
      if (k < 255) output[k] = (uint)s[0];                                              \
    }                                                                                   \
  }

// The ids are the kernels' positions in a queue's table (gpu/kernel_table.h):
// the prepare kernels of the six scratchpad families, the main kernels in
// their rows' slot order, the collect kernels.
#ifdef CN_RANDOM_SLOTS
MOCK_MAIN_RANDOM(cryptonight_main_r, 26)
#else
MOCK_PREPARE(cryptonight_prepare, 0)
MOCK_PREPARE(cryptonight_prepare_heavy, 1)
MOCK_PREPARE(cryptonight_prepare_light, 2)
MOCK_PREPARE(cryptonight_prepare_256k, 3)
MOCK_PREPARE(cryptonight_prepare_128k, 4)
MOCK_PREPARE(cryptonight_prepare_gpu, 5)
MOCK_MAIN(cryptonight_main, 6, 8)
MOCK_MAIN_TWEAK(cryptonight_main_v7, 7)
MOCK_MAIN(cryptonight_main_heavy, 8, 8)
MOCK_MAIN(cryptonight_main_light, 9, 8)
MOCK_MAIN_TWEAK(cryptonight_main_v7_light, 10)
MOCK_MAIN_TWEAK(cryptonight_main_v7_fest, 11)
MOCK_MAIN_TWEAK(cryptonight_main_v7_xtl, 12)
MOCK_MAIN(cryptonight_main_xhv_heavy, 13, 8)
MOCK_MAIN_TWEAK(cryptonight_main_v7_fast, 14)
MOCK_MAIN_TWEAK(cryptonight_main_tube_heavy, 15)
MOCK_MAIN(cryptonight_main_v8, 16, 16)
MOCK_MAIN(cryptonight_main_v8_half, 17, 16)
MOCK_MAIN(cryptonight_main_v8_rwz, 18, 16)
MOCK_MAIN(cryptonight_main_v8_zls, 19, 16)
MOCK_MAIN(cryptonight_main_v8_double, 20, 16)
MOCK_MAIN(cryptonight_main_xao, 21, 8)
MOCK_MAIN(cryptonight_main_ccx, 22, 8)
MOCK_MAIN(cryptonight_main_pico, 23, 16)
MOCK_MAIN(cryptonight_main_pico_tlo, 24, 16)
MOCK_MAIN(cryptonight_main_upx2, 25, 16)
MOCK_MAIN_GPU(cryptonight_main_gpu, 27)
MOCK_COLLECT(cryptonight_collect, 28)
MOCK_COLLECT(cryptonight_collect_heavy, 29)
MOCK_COLLECT(cryptonight_collect_light, 30)
MOCK_COLLECT(cryptonight_collect_256k, 31)
MOCK_COLLECT(cryptonight_collect_128k, 32)
MOCK_COLLECT(cryptonight_collect_gpu, 33)
MOCK_HASH(hash_blake, 0)
MOCK_HASH(hash_groestl, 1)
MOCK_HASH(hash_jh, 2)
MOCK_HASH(hash_skein, 3)
#endif
