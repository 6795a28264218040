// The orbeck-hash command: CryptoNight hashes of hex blobs given as
// arguments or one per line on standard input, or a one-thread hash-rate
// benchmark. Single-threaded; the streams are the caller's.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "base/status.h"

namespace orbeck_hash {

constexpr int kExitOk = 0;
constexpr int kExitBadInput = 2;

struct options {
  int32_t algorithm = -1;
  bool help = false;
  bool version = false;  // --version
  bool has_height = false;  // --height given (required by, and only for, cn/r)
  uint64_t height = 0;
  bool bench = false;
  double bench_seconds = 0;
  std::vector<std::string> inputs;  // hex blobs from the command line
};

// Parses argv[1..]. On failure returns false with a one-line message.
bool parse_arguments(int argc, const char* const* argv, options* out, std::string* error);

// The hash rate of `algorithm` on one thread over about `seconds`, hashing
// a fixed 76-byte blob whose nonce changes each time (at block `height`),
// into `rate`; fails when the hash's work area cannot be allocated.
base::status measure_hash_rate(int32_t algorithm, double seconds, uint64_t height, double& rate);

// Runs the command; returns the process exit code (kExitBadInput for a bad
// command line or input, after a message on `err`).
int run(int argc, const char* const* argv, std::istream& in, std::ostream& out, std::ostream& err);

}  // namespace orbeck_hash
