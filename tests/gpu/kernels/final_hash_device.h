// Runs the test-only final-hash kernel over a batch of messages.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <CL/cl.h>

namespace kernel_test {

// Largest message test_final_hash accepts.
constexpr size_t kMaxFinalHashMessage = 320;

// Digests (32 bytes each) of `messages` under final hash `which` (0 BLAKE,
// 1 Groestl, 2 JH, 3 Skein) in one launch; {} with *error set on failure.
std::vector<std::vector<uint8_t>> FinalHashes(cl_program program, uint32_t which,
                                              const std::vector<std::vector<uint8_t>>& messages,
                                              std::string* error);

}  // namespace kernel_test
