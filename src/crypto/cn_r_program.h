// The per-height random program of CryptoNightR: the generator that turns a
// block height into 60..70 integer instructions plus RET, and a reference
// interpreter for them. Pure; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace crypto {

// Operation numbers as the generator uses them (its repeat rule compares them).
enum class random_op : uint8_t { mul = 0, add = 1, sub = 2, ror = 3, rol = 4, xor_ = 5, ret = 6 };

// dst is one of r0..r3, src one of r0..r8; c is the constant of an ADD (0 otherwise).
struct random_instruction {
  random_op op = random_op::ret;
  uint8_t dst = 0;
  uint8_t src = 0;
  uint32_t c = 0;
};

constexpr size_t kRandomProgramMax = 71;  // 70 instructions + RET
constexpr int kRandomRegisters = 9;       // r0..r3 carried, r4..r8 loaded per iteration

struct random_program {
  random_instruction code[kRandomProgramMax];
  uint32_t length = 0;  // entries including the final RET
};

// The program of a block height (the same height always gives the same program).
random_program generate_random_program(uint64_t height);

// Runs the program on r[0..8]; only r[0..3] change.
void execute_random_program(const random_program& program, uint32_t r[kRandomRegisters]);

// One instruction as text, e.g. "ADD r2, r7, 0xD3CEFCDD", "ROL r0, r7", "RET".
std::string random_instruction_text(const random_instruction& instruction);

// 7 bytes per entry, RET included: op, dst, src, then c little-endian.
std::vector<uint8_t> serialize_random_program(const random_program& program);

}  // namespace crypto
