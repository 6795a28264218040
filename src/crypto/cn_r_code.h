// A CryptoNightR program made runnable once per height: on x86-64 it is
// translated into machine code in an executable mapping of its own, so the
// main loop runs it without a dispatch per operation; elsewhere (or where
// the system refuses executable memory) the reference interpreter runs it.
// Build on any thread; run() is const and may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/cn_r_program.h"

namespace crypto {

class random_program_code {
 public:
  // Generates the program of `height` and translates it unless
  // `allow_native` is false (tests compare both forms).
  explicit random_program_code(uint64_t height, bool allow_native = true);
  ~random_program_code();

  random_program_code(const random_program_code&) = delete;
  random_program_code& operator=(const random_program_code&) = delete;

  // Runs the program on r[0..8]; only r[0..3] change.
  void run(uint32_t r[kRandomRegisters]) const { entry_(r, &program_); }

  uint64_t height() const { return height_; }
  bool native() const { return mapping_ != nullptr; }
  const random_program& program() const { return program_; }

 private:
  using entry_point = void (*)(uint32_t* r, const random_program* program);

  uint64_t height_;
  random_program program_;
  entry_point entry_;
  void* mapping_ = nullptr;  // executable code, mapping_size_ bytes
  size_t mapping_size_ = 0;
};

}  // namespace crypto
