// The two steps of cn/gpu (CryptoNight-GPU) that differ from the rest of
// the family: the scratchpad fill from Keccak-f output and the float main
// loop over 64-byte groups. The hash around them (absorption, heavy fold,
// final permutation, the state as the result) is cryptonight.cpp's. Pure
// functions of their arguments; any thread.
//
// The loop is exact IEEE-754 binary32 arithmetic, every operation rounded
// to nearest on its own: this library is compiled with -ffp-contract=off
// (crypto/CMakeLists.txt) and cn_gpu.cpp refuses to compile with fast math
// or with excess precision (see there).
#pragma once

#include <cstdint>

namespace crypto {

constexpr uint32_t kCnGpuScratchpad = 0x200000;
constexpr uint32_t kCnGpuMask = 0x1FFFC0;

// What the float loop carries from one iteration to the next.
struct cn_gpu_loop_state {
  uint32_t idx = 0;
  float fb[4] = {0.0f, 0.0f, 0.0f, 0.0f};  // feedback, one per lane
};

// Fills the pad (2 MiB; smaller multiples of 512 bytes for tests): chunk i
// of 512 bytes comes from the 200-byte state with i XORed into its first
// word, through three chained Keccak-f permutations (160, 176 and 176 bytes
// of output).
void cn_gpu_fill(const uint64_t state[25], uint8_t* pad, uint32_t bytes = kCnGpuScratchpad);

// The loop's starting values: index from state bytes 1..3, feedback zero.
cn_gpu_loop_state cn_gpu_loop_start(const uint8_t* state);

// Runs `iterations` iterations of the float loop on the pad; `mask` picks
// the 64-byte groups (0x1FFFC0 for 2 MiB; smaller pads for tests).
void cn_gpu_loop(uint8_t* pad, uint32_t iterations, cn_gpu_loop_state& loop,
                 uint32_t mask = kCnGpuMask);

}  // namespace crypto
