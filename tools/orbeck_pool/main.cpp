// orbeck-pool: a small mining pool on 127.0.0.1 for trying the miner out
// and for end-to-end tests.
//
//   orbeck-pool --port P --algo N|NAME [--target HEX] [--job-interval S] [--seconds S]
//               [--height H] [--height-interval S] [--tls-cert FILE --tls-key FILE]
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "app/version.h"
#include "crypto/algorithm.h"
#include "base/hex.h"
#include "local_pool.h"

namespace {

std::atomic<bool> stop_requested{false};

void on_signal(int) { stop_requested.store(true); }

int usage(const char* message) {
  std::fprintf(stderr, "orbeck-pool: %s\n", message);
  std::fprintf(stderr,
               "usage: orbeck-pool --port P --algo N|NAME [--target HEX] [--job-interval S] "
               "[--seconds S] [--reply-delay S] [--height H] [--height-interval S]\n"
               "       [--tls-cert FILE --tls-key FILE]\n"
               "  --target HEX        share target as a pool sends it, little-endian: 8 hex\n"
               "                      digits (default ffffff07, 1 share in 32 hashes) or 16\n"
               "                      for a 64-bit target\n"
               "  --reply-delay S     hold each submit's answer back S seconds (a slow pool)\n"
               "  --tls-cert FILE     serve TLS with this PEM certificate (chain)\n"
               "  --tls-key FILE      and this PEM private key\n"
               "  --job-interval S    seconds between new jobs (default 30)\n"
               "  --height H          cn/r: block height of the first job (default 1806260)\n"
               "  --height-interval S cn/r: seconds until the next block's height, sent at\n"
               "                      once in a new job (default 120)\n"
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
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("%s\n", app::version_line("orbeck-pool").c_str());
      return 0;
    }
  }
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
      int32_t id = -1;
      if (!crypto::parse_algorithm_argument(value, id) || crypto::find_algorithm(id) == nullptr)
        return usage(("--algo must be an id from 0 to " + std::to_string(crypto::kAlgoCount - 1) +
                      " or a pool name")
                         .c_str());
      options.algorithm = id;
      have_algo = true;
    } else if (arg == "--target") {
      std::vector<uint8_t> bytes;
      const size_t digits = std::strlen(value);
      if ((digits != 8 && digits != 16) || !base::hex_decode(value, &bytes))
        return usage("--target must be 8 or 16 hex digits");
      uint64_t target = 0;
      for (size_t b = bytes.size(); b-- > 0;) target = target << 8 | bytes[b];
      if (target == 0) return usage("--target must not be zero");
      if (digits == 16) {
        options.target64 = target;
      } else {
        options.target = static_cast<uint32_t>(target);
      }
    } else if (arg == "--reply-delay") {
      if (!parse_number(value, number) || number < 0) return usage("--reply-delay must be 0 or more seconds");
      options.reply_delay_s = number;
    } else if (arg == "--tls-cert") {
      options.tls_cert = value;
    } else if (arg == "--tls-key") {
      options.tls_key = value;
    } else if (arg == "--job-interval") {
      if (!parse_number(value, number) || number <= 0 || number > 86400 * 365.0)
        return usage("--job-interval must be positive seconds, at most a year");
      options.job_interval_s = number;
    } else if (arg == "--height") {
      char* end = nullptr;
      errno = 0;
      const unsigned long long height = std::strtoull(value, &end, 10);
      if (value[0] < '0' || value[0] > '9' || *end != '\0' || errno != 0 || height == UINT64_MAX)
        return usage("--height must be a whole number from 0 to 18446744073709551614");
      options.start_height = height;
    } else if (arg == "--height-interval") {
      if (!parse_number(value, number) || number <= 0 || number > 86400 * 365.0)
        return usage("--height-interval must be positive seconds, at most a year");
      options.height_interval_s = number;
    } else if (arg == "--seconds") {
      if (!parse_number(value, number) || number <= 0) return usage("--seconds must be positive");
      seconds = number;
    } else {
      return usage(("unknown option " + arg).c_str());
    }
  }
  if (!have_port || !have_algo) return usage("--port and --algo are required");
  if (options.tls_cert.empty() != options.tls_key.empty())
    return usage("--tls-cert and --tls-key go together");

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
  std::printf("orbeck-pool: listening on 127.0.0.1:%u%s, algorithm %d (%s)\n", pool.port(),
              options.tls_cert.empty() ? "" : " (TLS)", options.algorithm,
              crypto::algorithm_name(options.algorithm));
  std::fflush(stdout);

  const auto start = std::chrono::steady_clock::now();
  while (!stop_requested.load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (seconds > 0 && std::chrono::steady_clock::now() - start >= std::chrono::duration<double>(seconds))
      break;
  }
  pool.stop();
  const tools::local_pool_counts counts = pool.counts();
  std::printf("orbeck-pool: %llu logins, %llu jobs, %llu shares accepted, %llu rejected, %llu for an older job\n",
              static_cast<unsigned long long>(counts.logins), static_cast<unsigned long long>(counts.jobs),
              static_cast<unsigned long long>(counts.accepted),
              static_cast<unsigned long long>(counts.rejected), static_cast<unsigned long long>(counts.stale));
  for (const auto& [reason, count] : counts.reasons)
    std::printf("orbeck-pool:   %llu rejected: %s\n", static_cast<unsigned long long>(count), reason.c_str());
  return 0;
}
