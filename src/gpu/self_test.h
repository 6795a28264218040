// The kernel self-test: before a GPU mines an algorithm it runs one
// known-answer round (a fixed blob, 64 nonces across a 24-bit boundary and a
// target for which exactly four nonces pass) and compares the nonces it
// reports with the answer the CPU hash gives. Catches drivers and compilers
// that miscompile a kernel before any wrong share is sent.
#pragma once

#include <cstdint>
#include <vector>

#include "gpu/backend_options.h"
#include "gpu/gpu_context.h"

namespace gpu {

constexpr uint32_t kSelfTestBlobLength = 76;
constexpr uint32_t kSelfTestFirstNonce = 0x00FFFFE0;  // the range crosses 0x01000000
constexpr uint32_t kSelfTestNonceCount = 64;
// The block height of the known-answer round (rows whose hash depends on it).
constexpr uint64_t kSelfTestHeight = 1806260;

// The fixed blob of the known-answer round.
std::vector<uint8_t> SelfTestBlob();
// The expected answer for an algorithm id (the catalogue row's; ids out
// of range are clamped to the first or last row).
const self_test_answer& SelfTestAnswer(int32_t algorithm);

// Runs the known-answer round on queue 0 of the GPU and restores the queue's
// round size and the nonce counter afterwards (the next round uploads its
// job again). True when the GPU reports exactly the nonces of `answer`
// (normally SelfTestAnswer(algorithm)). Mining thread (or the thread that
// owns the record).
bool RunSelfTest(GpuContext& gpu, int32_t algorithm, const self_test_answer& answer);

}  // namespace gpu
