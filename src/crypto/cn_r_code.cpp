#include "crypto/cn_r_code.h"

#include <cstring>
#include <initializer_list>

#if defined(__x86_64__) && defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#define ORBECK_RANDOM_NATIVE 1
#endif

namespace crypto {
namespace {

void interpret(uint32_t* r, const random_program* program) { execute_random_program(*program, r); }

#ifdef ORBECK_RANDOM_NATIVE
// x86-64 System V: rdi points at r[0..8]. r0..r3 live in r8d..r11d for the
// whole program, r4..r8 are read from memory as operands, ecx holds a
// rotation count. Every instruction uses the "reg = dst" encoding.
class emitter {
 public:
  explicit emitter(uint8_t* out) : out_(out) {}

  size_t size() const { return size_; }

  void load(int i) { bytes({0x44, 0x8B, static_cast<uint8_t>(0x47 | i << 3), disp(i)}); }
  void store(int i) { bytes({0x44, 0x89, static_cast<uint8_t>(0x47 | i << 3), disp(i)}); }

  // dst op= src for ADD (03), SUB (2B), XOR (33) and IMUL (0F AF).
  void binary(const uint8_t* opcode, size_t opcode_size, int dst, int src) {
    if (src < 4) {
      put(0x45);
      for (size_t k = 0; k < opcode_size; ++k) put(opcode[k]);
      put(static_cast<uint8_t>(0xC0 | dst << 3 | src));
    } else {
      put(0x44);
      for (size_t k = 0; k < opcode_size; ++k) put(opcode[k]);
      put(static_cast<uint8_t>(0x47 | dst << 3));
      put(disp(src));
    }
  }

  void add_constant(int dst, uint32_t c) {
    bytes({0x41, 0x81, static_cast<uint8_t>(0xC0 | dst)});
    for (int k = 0; k < 4; ++k) put(static_cast<uint8_t>(c >> (8 * k)));
  }

  // mov ecx, src; ror/rol dst, cl (the CPU takes the count modulo 32).
  void rotate(int dst, int src, bool right) {
    if (src < 4) {
      bytes({0x44, 0x89, static_cast<uint8_t>(0xC1 | src << 3)});
    } else {
      bytes({0x8B, 0x4F, disp(src)});
    }
    bytes({0x41, 0xD3, static_cast<uint8_t>((right ? 0xC8 : 0xC0) | dst)});
  }

  void ret() { put(0xC3); }

 private:
  static uint8_t disp(int i) { return static_cast<uint8_t>(4 * i); }
  void put(uint8_t b) { out_[size_++] = b; }
  void bytes(std::initializer_list<uint8_t> list) {
    for (uint8_t b : list) put(b);
  }

  uint8_t* out_;
  size_t size_ = 0;
};

// Longest encodings: 4 loads + 4 stores of 4 bytes, an ADD of 4 + 7 bytes,
// a rotation of 6, RET 1.
constexpr size_t kMaxCodeBytes = 32 + kRandomProgramMax * 11 + 1;

size_t translate(const random_program& program, uint8_t* out) {
  static constexpr uint8_t kAdd[] = {0x03};
  static constexpr uint8_t kSub[] = {0x2B};
  static constexpr uint8_t kXor[] = {0x33};
  static constexpr uint8_t kMul[] = {0x0F, 0xAF};
  emitter e(out);
  for (int i = 0; i < 4; ++i) e.load(i);
  for (uint32_t n = 0; n < program.length; ++n) {
    const random_instruction& in = program.code[n];
    if (in.op == random_op::ret) break;
    switch (in.op) {
      case random_op::mul:
        e.binary(kMul, 2, in.dst, in.src);
        break;
      case random_op::add:
        e.binary(kAdd, 1, in.dst, in.src);
        e.add_constant(in.dst, in.c);
        break;
      case random_op::sub:
        e.binary(kSub, 1, in.dst, in.src);
        break;
      case random_op::xor_:
        e.binary(kXor, 1, in.dst, in.src);
        break;
      case random_op::ror:
        e.rotate(in.dst, in.src, true);
        break;
      case random_op::rol:
        e.rotate(in.dst, in.src, false);
        break;
      case random_op::ret:
        break;
    }
  }
  for (int i = 0; i < 4; ++i) e.store(i);
  e.ret();
  return e.size();
}
#endif

}  // namespace

random_program_code::random_program_code(uint64_t height, bool allow_native)
    : height_(height), program_(generate_random_program(height)), entry_(&interpret) {
#ifdef ORBECK_RANDOM_NATIVE
  if (!allow_native) return;
  const long page = sysconf(_SC_PAGESIZE);
  const size_t size = page > 0 ? (kMaxCodeBytes + page - 1) / page * page : 4096;
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return;
  translate(program_, static_cast<uint8_t*>(p));
  // Written, then only executable: never writable and executable at once.
  if (mprotect(p, size, PROT_READ | PROT_EXEC) != 0) {
    munmap(p, size);
    return;
  }
  mapping_ = p;
  mapping_size_ = size;
  entry_ = reinterpret_cast<entry_point>(p);
#else
  (void)allow_native;
#endif
}

random_program_code::~random_program_code() {
#ifdef ORBECK_RANDOM_NATIVE
  if (mapping_ != nullptr) munmap(mapping_, mapping_size_);
#endif
}

}  // namespace crypto
