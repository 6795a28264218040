#include "gpu/random_source.h"

#include <cstdio>

#include "crypto/algorithm.h"
#include "crypto/cn_r_program.h"
#include "gpu/kernel_table.h"

namespace gpu {
namespace {

const crypto::algorithm_info& RandomRow() {
  for (const crypto::algorithm_info& info : crypto::kAlgorithms) {
    if (info.loop == crypto::loop_family::random) return info;
  }
  return crypto::kAlgorithms[crypto::kCryptoNightR];
}

// One instruction as a statement on the registers r0..r8. Rotations take
// the count modulo 32 as the generator's CPU does.
void AppendStatement(const crypto::random_instruction& in, std::string& out) {
  char line[96];
  const unsigned d = in.dst;
  const unsigned s = in.src;
  switch (in.op) {
    case crypto::random_op::mul:
      std::snprintf(line, sizeof(line), " r%u *= r%u;", d, s);
      break;
    case crypto::random_op::add:
      std::snprintf(line, sizeof(line), " r%u += r%u + 0x%08Xu;", d, s,
                    static_cast<unsigned>(in.c));
      break;
    case crypto::random_op::sub:
      std::snprintf(line, sizeof(line), " r%u -= r%u;", d, s);
      break;
    case crypto::random_op::ror:
      std::snprintf(line, sizeof(line), " r%u = rotate(r%u, (32u - (r%u & 31u)) & 31u);", d, d, s);
      break;
    case crypto::random_op::rol:
      std::snprintf(line, sizeof(line), " r%u = rotate(r%u, r%u & 31u);", d, d, s);
      break;
    case crypto::random_op::xor_:
      std::snprintf(line, sizeof(line), " r%u ^= r%u;", d, s);
      break;
    case crypto::random_op::ret:
      return;
  }
  out += line;
  out += " \\\n";
}

}  // namespace

std::string RandomGroupSource(uint64_t group, uint32_t heights) {
  const uint64_t first = group * heights;
  char line[128];
  std::snprintf(line, sizeof(line), "// cn/r programs of heights %llu to %llu\n",
                static_cast<unsigned long long>(first),
                static_cast<unsigned long long>(first + heights - 1));
  std::string out = line;
  std::snprintf(line, sizeof(line), "#define CN_RANDOM_FIRST_HEIGHT %lluul\n",
                static_cast<unsigned long long>(first));
  out += line;
  out += "#define CN_RANDOM_SLOTS(X)";
  for (uint32_t s = 0; s < heights; ++s) {
    std::snprintf(line, sizeof(line), " X(%u)", static_cast<unsigned>(s));
    out += line;
  }
  out += "\n";
  for (uint32_t s = 0; s < heights; ++s) {
    const crypto::random_program program = crypto::generate_random_program(first + s);
    std::snprintf(line, sizeof(line), "#define CN_RANDOM_CODE_%u \\\n", static_cast<unsigned>(s));
    out += line;
    for (uint32_t i = 0; i < program.length; ++i) AppendStatement(program.code[i], out);
    out += "\n";
  }
  return out;
}

std::string RandomKernelOptions() {
  const crypto::algorithm_info& info = RandomRow();
  char item[192];
  std::snprintf(item, sizeof(item),
                "-DCN_FAMILY_KERNELS= -DCN_NO_FINAL_KERNELS "
                "-DCN_MAIN_KERNELS=CN_MAIN_RANDOM(%s,%u,0x%Xu,0x%Xu,0x%Xu,0x%Xu)",
                info.main_kernel, static_cast<unsigned>(info.main_local_size),
                static_cast<unsigned>(info.scratchpad), static_cast<unsigned>(info.iterations),
                static_cast<unsigned>(info.mask),
                static_cast<unsigned>(crypto::kernel_variant(info)));
  return item;
}

const char* RandomKernelName() { return RandomRow().main_kernel; }

}  // namespace gpu
