#include "crypto/cn_r_program.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>

#include "crypto/blake256.h"

namespace crypto {
namespace {

// The generator's model: a CPU with three pipelined ALUs (only ALU 0
// multiplies) that must be kept busy for 45 cycles, and an "ASIC" with
// unlimited ALUs that must need at least as long.
constexpr int kCycleBudget = 45;
constexpr uint32_t kMinLength = 60;
constexpr uint32_t kMaxLength = 70;
constexpr int kMaxRetries = 64;
constexpr int kMaxDraws = 256;
constexpr int kIdleLimit = 7;
constexpr int kAluCount = 3;
constexpr int kCpuLatency[6] = {3, 2, 1, 2, 2, 1};  // MUL ADD SUB ROR ROL XOR
constexpr int kAsicLatency[6] = {3, 1, 1, 1, 1, 1};

// Bytes of Blake-256 chained from the seed; a request that does not fit in
// what is left of the current digest rehashes and drops the leftover.
class byte_source {
 public:
  explicit byte_source(uint64_t height) {
    for (int i = 0; i < 8; ++i) buffer_[i] = static_cast<uint8_t>(height >> (8 * i));
    buffer_[20] = 0xDA;
  }

  uint8_t byte() {
    ensure(1);
    return buffer_[position_++];
  }

  uint32_t word() {
    ensure(4);
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | buffer_[position_ + i];
    position_ += 4;
    return v;
  }

 private:
  void ensure(size_t n) {
    if (position_ + n <= sizeof(buffer_)) return;
    uint8_t next[32];
    blake256(buffer_, sizeof(buffer_), next);
    std::memcpy(buffer_, next, sizeof(buffer_));
    position_ = 0;
  }

  uint8_t buffer_[32] = {};
  size_t position_ = 32;  // empty: the first draw hashes the seed
};

bool is_rotation(random_op op) { return op == random_op::ror || op == random_op::rol; }

// One attempt: the main phase driven by bytes, then the ASIC padding.
// True when the program is acceptable (r8 used, 60..70 instructions).
bool attempt(byte_source& bytes, random_program& program) {
  int ready[kRandomRegisters] = {};
  int asic[kRandomRegisters] = {};
  bool busy[kCycleBudget + 1][kAluCount] = {};
  bool rotated[4] = {};
  int rotations = 0;
  uint32_t tag[kRandomRegisters] = {0, 1, 2, 3, 0xFFFFFF, 0xFFFFFF, 0xFFFFFF, 0xFFFFFF, 0xFFFFFF};
  int retries = 0;
  int draws = 0;
  bool used_r8 = false;
  program.length = 0;

  for (;;) {
    if ((ready[0] >= kCycleBudget && ready[1] >= kCycleBudget && ready[2] >= kCycleBudget &&
         ready[3] >= kCycleBudget) ||
        retries >= kMaxRetries) {
      break;
    }
    if (++draws > kMaxDraws) break;
    const uint8_t x = bytes.byte();
    random_op op;
    switch (x & 7) {
      case 0:
      case 1:
      case 2:
        op = random_op::mul;
        break;
      case 3:
        op = random_op::add;
        break;
      case 4:
        op = random_op::sub;
        break;
      case 5:
        op = bytes.byte() < 0x80 ? random_op::ror : random_op::rol;
        break;
      default:
        op = random_op::xor_;
        break;
    }
    const int dst = (x >> 3) & 3;
    int src = x >> 5;
    const int op_number = static_cast<int>(op);
    // No operand that cancels or doubles itself: ADD/SUB/XOR take r8 instead.
    if ((op == random_op::add || op == random_op::sub || op == random_op::xor_) && src == dst) {
      src = 8;
    }
    if (is_rotation(op) && rotated[dst]) continue;
    if (op != random_op::mul && (tag[dst] & 0xFFFF00) == (static_cast<uint32_t>(op_number) << 8 |
                                                          (tag[src] & 0xFF) << 16)) {
      continue;
    }
    int t = std::max(ready[dst], ready[src]);
    int alu = -1;
    for (; t < kCycleBudget; ++t) {
      for (int a = op == random_op::mul ? 0 : kAluCount - 1; a >= 0; --a) {
        if (busy[t][a] || (op == random_op::add && busy[t + 1][a]) ||
            (is_rotation(op) && t < 2 * rotations)) {
          continue;
        }
        alu = a;
        break;
      }
      if (alu >= 0) break;
    }
    if (t > ready[dst] + kIdleLimit) continue;
    const int end = t + kCpuLatency[op_number];
    if (end > kCycleBudget) {
      ++retries;
      continue;
    }
    if (is_rotation(op)) ++rotations;
    busy[t][alu] = true;
    if (op == random_op::add) busy[t + 1][alu] = true;
    ready[dst] = end;
    asic[dst] = std::max(asic[dst], asic[src]) + kAsicLatency[op_number];
    rotated[dst] = is_rotation(op);
    tag[dst] = program.length | static_cast<uint32_t>(op_number) << 8 | (tag[src] & 0xFF) << 16;
    if (src == 8) used_r8 = true;
    const uint32_t c = op == random_op::add ? bytes.word() : 0;
    program.code[program.length++] = {op, static_cast<uint8_t>(dst), static_cast<uint8_t>(src), c};
    if (program.length >= kMinLength) break;
  }

  // Lengthen the chain until an unlimited-ALU machine needs the budget too.
  const uint32_t base = program.length;
  while (program.length < kMaxLength && asic[0] < kCycleBudget && asic[1] < kCycleBudget &&
         asic[2] < kCycleBudget && asic[3] < kCycleBudget) {
    int lo = 0;
    int hi = 0;
    for (int i = 1; i < 4; ++i) {
      if (asic[i] < asic[lo]) lo = i;
      if (asic[i] > asic[hi]) hi = i;
    }
    static constexpr random_op kPattern[3] = {random_op::ror, random_op::mul, random_op::mul};
    const random_op op = kPattern[(program.length - base) % 3];
    asic[lo] = asic[hi] + kAsicLatency[static_cast<int>(op)];
    program.code[program.length++] = {op, static_cast<uint8_t>(lo), static_cast<uint8_t>(hi), 0};
  }
  return used_r8 && program.length >= kMinLength && program.length <= kMaxLength;
}

}  // namespace

random_program generate_random_program(uint64_t height) {
  random_program program;
  byte_source bytes(height);
  // Rejected attempts go on with the same byte stream.
  while (!attempt(bytes, program)) {
  }
  program.code[program.length++] = {random_op::ret, 0, 0, 0};
  return program;
}

void execute_random_program(const random_program& program, uint32_t r[kRandomRegisters]) {
  for (uint32_t i = 0; i < program.length; ++i) {
    const random_instruction& in = program.code[i];
    const uint32_t s = r[in.src];
    uint32_t& d = r[in.dst];
    switch (in.op) {
      case random_op::mul:
        d *= s;
        break;
      case random_op::add:
        d += s + in.c;
        break;
      case random_op::sub:
        d -= s;
        break;
      case random_op::ror:
        d = std::rotr(d, static_cast<int>(s & 31));
        break;
      case random_op::rol:
        d = std::rotl(d, static_cast<int>(s & 31));
        break;
      case random_op::xor_:
        d ^= s;
        break;
      case random_op::ret:
        return;
    }
  }
}

std::string random_instruction_text(const random_instruction& instruction) {
  static constexpr const char* kNames[7] = {"MUL", "ADD", "SUB", "ROR", "ROL", "XOR", "RET"};
  const char* name = kNames[std::min<int>(static_cast<int>(instruction.op), 6)];
  char text[48];
  if (instruction.op == random_op::ret) {
    std::snprintf(text, sizeof(text), "%s", name);
  } else if (instruction.op == random_op::add) {
    std::snprintf(text, sizeof(text), "%s r%u, r%u, 0x%08X", name, instruction.dst, instruction.src,
                  static_cast<unsigned>(instruction.c));
  } else {
    std::snprintf(text, sizeof(text), "%s r%u, r%u", name, instruction.dst, instruction.src);
  }
  return text;
}

std::vector<uint8_t> serialize_random_program(const random_program& program) {
  std::vector<uint8_t> bytes;
  bytes.reserve(program.length * 7);
  for (uint32_t i = 0; i < program.length; ++i) {
    const random_instruction& in = program.code[i];
    bytes.insert(bytes.end(), {static_cast<uint8_t>(in.op), in.dst, in.src});
    for (int k = 0; k < 4; ++k) bytes.push_back(static_cast<uint8_t>(in.c >> (8 * k)));
  }
  return bytes;
}

}  // namespace crypto
