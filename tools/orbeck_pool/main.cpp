// orbeck-pool: a small mining pool on 127.0.0.1 for trying the miner out
// and for end-to-end tests.
//
//   orbeck-pool --port P --algo N [--target HEX] [--job-interval S] [--seconds S]
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "crypto/algorithm.h"
#include "crypto/hex.h"
#include "local_pool.h"

namespace {

std::atomic<bool> stop_requested{false};

void on_signal(int) { stop_requested.store(true); }

int usage(const char* message) {
  std::fprintf(stderr, "orbeck-pool: %s\n", message);
  std::fprintf(stderr,
               "usage: orbeck-pool --port P --algo N [--target HEX] [--job-interval S] "
               "[--seconds S]\n"
               "  --target HEX        share target as a pool sends it: 8 hex digits,\n"
               "                      little-endian (default ffffff07, 1 share in 32 hashes)\n"
               "  --job-interval S    seconds between new jobs (default 30)\n"
               "  --seconds S         stop after S seconds (default: run until SIGINT/SIGTERM)\n");
  return 2;
}

bool parse_number(const char* text, double& out) {
  char* end = nullptr;
  out = std::strtod(text, &end);
  return end != text && *end == '\0';
}

}  // namespace

int main(int argc, char** argv) {
  tools::local_pool_options options;
  bool have_port = false, have_algo = false;
  double seconds = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return usage(("missing value for " + arg).c_str());
    const char* value = argv[++i];
    double number = 0;
    if (arg == "--port") {
      if (!parse_number(value, number) || number < 0 || number > 65535 || number != static_cast<int>(number))
        return usage("--port must be 0 to 65535");
      options.port = static_cast<uint16_t>(number);
      have_port = true;
    } else if (arg == "--algo") {
      if (!parse_number(value, number) || number < 0 || number >= crypto::kAlgoCount ||
          number != static_cast<int>(number))
        return usage("--algo must be 0 to 10");
      options.algorithm = static_cast<int32_t>(number);
      have_algo = true;
    } else if (arg == "--target") {
      std::vector<uint8_t> bytes;
      if (std::strlen(value) != 8 || !crypto::hex_decode(value, &bytes))
        return usage("--target must be 8 hex digits");
      options.target = bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
      if (options.target == 0) return usage("--target must not be zero");
    } else if (arg == "--job-interval") {
      if (!parse_number(value, number) || number <= 0) return usage("--job-interval must be positive");
      options.job_interval_s = number;
    } else if (arg == "--seconds") {
      if (!parse_number(value, number) || number <= 0) return usage("--seconds must be positive");
      seconds = number;
    } else {
      return usage(("unknown option " + arg).c_str());
    }
  }
  if (!have_port || !have_algo) return usage("--port and --algo are required");

  signal(SIGINT, on_signal);
  signal(SIGTERM, on_signal);
  signal(SIGPIPE, SIG_IGN);

  tools::local_pool pool(options);
  std::string error;
  if (!pool.start(error)) {
    std::fprintf(stderr, "orbeck-pool: cannot listen on 127.0.0.1:%u: %s\n", options.port,
                 error.c_str());
    return 1;
  }
  std::printf("orbeck-pool: listening on 127.0.0.1:%u, algorithm %d (%s)\n", pool.port(),
              options.algorithm, crypto::algorithm_name(options.algorithm));
  std::fflush(stdout);

  const auto start = std::chrono::steady_clock::now();
  while (!stop_requested.load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (seconds > 0 && std::chrono::steady_clock::now() - start >= std::chrono::duration<double>(seconds))
      break;
  }
  pool.stop();
  const tools::local_pool_counts counts = pool.counts();
  std::printf("orbeck-pool: %llu logins, %llu jobs, %llu shares accepted, %llu rejected\n",
              static_cast<unsigned long long>(counts.logins), static_cast<unsigned long long>(counts.jobs),
              static_cast<unsigned long long>(counts.accepted),
              static_cast<unsigned long long>(counts.rejected));
  for (const auto& [reason, count] : counts.reasons)
    std::printf("orbeck-pool:   %llu rejected: %s\n", static_cast<unsigned long long>(count), reason.c_str());
  return 0;
}
