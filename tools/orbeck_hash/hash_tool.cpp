#include "hash_tool.h"

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <iomanip>
#include <istream>
#include <memory>
#include <ostream>
#include <stdexcept>

#include "app/version.h"
#include "base/hex.h"
#include "crypto/algorithm.h"
#include "crypto/cryptonight.h"

namespace orbeck_hash {
namespace {

constexpr double kMaxBenchSeconds = 86400;
constexpr size_t kBenchBlobLength = 76;
constexpr size_t kNonceOffset = 39;

constexpr const char* kUsage =
    "Usage: orbeck-hash --algo N [--height H] [HEX...]\n"
    "       orbeck-hash --algo N [--height H] --bench SECONDS\n"
    "Prints the CryptoNight hash of each hex blob (from the arguments, or one\n"
    "per line on standard input), or the one-thread hash rate as \"H/s: <rate>\".\n"
    "For cn/r the benchmark also measures cn/2 in the same run and prints both\n"
    "rates and their ratio.\n"
    "  --algo N         algorithm id or pool name:\n";

// An id of the catalogue, or a pool name or alias of a row (any case).
bool parse_algorithm(const std::string& text, int32_t* id) {
  int32_t value = -1;
  if (!crypto::parse_algorithm_argument(text, value) || crypto::find_algorithm(value) == nullptr)
    return false;
  *id = value;
  return true;
}

std::string algo_range_text() {
  return "an algorithm id from 0 to " + std::to_string(crypto::kAlgoCount - 1) + " or a pool name";
}

bool parse_seconds(const std::string& text, double* seconds) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || text[0] == ' ' || *end != '\0' || !std::isfinite(value) || value <= 0 ||
      value > kMaxBenchSeconds)
    return false;
  *seconds = value;
  return true;
}

// Trims spaces, tabs and a trailing carriage return.
std::string trim(const std::string& line) {
  const size_t first = line.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  const size_t last = line.find_last_not_of(" \t\r");
  return line.substr(first, last - first + 1);
}

// A decimal u64 without sign or spaces.
bool parse_height(const std::string& text, uint64_t* height) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
  }
  *height = value;
  return true;
}

const char* hex_problem(const std::string& text) {
  return text.size() % 2 != 0 ? "odd number of hex digits" : "not a hex string";
}

void print_usage(std::ostream& out) {
  out << kUsage;
  for (int32_t id = 0; id < crypto::kAlgoCount; ++id) {
    out << "                     " << id << " = " << crypto::algorithm_name(id) << " ("
        << crypto::kAlgorithms[id].pool_name << ")\n";
  }
  out << "  --height H       block height of the blobs (required for cn/r, whose hash\n"
         "                   depends on it; 0 to 18446744073709551615)\n"
         "  --bench SECONDS  hash for SECONDS on one thread and print the rate\n"
         "  --help           this text\n"
         "  --version        print the version\n";
}

}  // namespace

bool parse_arguments(int argc, const char* const* argv, options* out, std::string* error) {
  *out = options{};
  bool have_algo = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    std::string value;
    bool has_value = false;
    std::string name = arg;
    if (arg.rfind("--", 0) == 0) {
      const size_t eq = arg.find('=');
      if (eq != std::string::npos) {
        name = arg.substr(0, eq);
        value = arg.substr(eq + 1);
        has_value = true;
      }
    }
    const auto take_value = [&]() {
      if (has_value) return true;
      if (i + 1 >= argc) {
        *error = name + " needs a value";
        return false;
      }
      value = argv[++i];
      return true;
    };
    if (name == "--help" || name == "-h") {
      out->help = true;
    } else if (name == "--version") {
      out->version = true;
    } else if (name == "--algo") {
      if (!take_value()) return false;
      if (!parse_algorithm(value, &out->algorithm)) {
        *error = "--algo must be " + algo_range_text() + ", not '" + value + "'";
        return false;
      }
      have_algo = true;
    } else if (name == "--height") {
      if (!take_value()) return false;
      if (!parse_height(value, &out->height)) {
        *error = "--height must be a whole number from 0 to 18446744073709551615, not '" +
                 value + "'";
        return false;
      }
      out->has_height = true;
    } else if (name == "--bench") {
      if (!take_value()) return false;
      if (!parse_seconds(value, &out->bench_seconds)) {
        *error =
            "--bench must be a number of seconds above 0 and at most 86400, not '" + value + "'";
        return false;
      }
      out->bench = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      *error = "unknown option '" + arg + "'";
      return false;
    } else {
      out->inputs.push_back(arg);
    }
  }
  if (out->help || out->version) return true;
  if (!have_algo) {
    *error = "--algo is required (" + algo_range_text() + ")";
    return false;
  }
  const bool random_loop =
      crypto::find_algorithm(out->algorithm)->loop == crypto::loop_family::random;
  if (random_loop && !out->has_height) {
    *error = std::string("--height is required for ") + crypto::kAlgorithms[out->algorithm].pool_name;
    return false;
  }
  if (!random_loop && out->has_height) {
    *error = std::string("--height is only for cn/r, not for ") +
             crypto::kAlgorithms[out->algorithm].pool_name;
    return false;
  }
  if (out->bench && !out->inputs.empty()) {
    *error = "--bench takes no hex inputs";
    return false;
  }
  return true;
}

base::status measure_hash_rate(int32_t algorithm, double seconds, uint64_t height, double& rate) {
  using clock = std::chrono::steady_clock;
  std::unique_ptr<crypto::CryptoNight> cn;
  if (base::status created = crypto::CryptoNight::create(cn); !created) return created;
  uint8_t blob[kBenchBlobLength];
  for (size_t i = 0; i < kBenchBlobLength; ++i) blob[i] = static_cast<uint8_t>(i * 29 + 7);
  uint8_t out[32];
  const auto start = clock::now();
  const auto limit = std::chrono::duration<double>(seconds);
  uint64_t hashes = 0;
  std::chrono::duration<double> elapsed{};
  do {
    const uint32_t nonce = static_cast<uint32_t>(hashes);
    for (int i = 0; i < 4; ++i) blob[kNonceOffset + i] = static_cast<uint8_t>(nonce >> (8 * i));
    cn->hash(algorithm, blob, sizeof(blob), out, height);
    ++hashes;
    elapsed = clock::now() - start;
  } while (elapsed < limit);
  rate = static_cast<double>(hashes) / elapsed.count();
  return base::status::ok();
}

int run(int argc, const char* const* argv, std::istream& in, std::ostream& out, std::ostream& err) {
  options opts;
  std::string error;
  if (!parse_arguments(argc, argv, &opts, &error)) {
    err << "orbeck-hash: " << error << "\n"
        << "Run 'orbeck-hash --help' for usage.\n";
    return kExitBadInput;
  }
  if (opts.version) {
    out << app::version_line("orbeck-hash") << "\n";
    return kExitOk;
  }
  if (opts.help) {
    print_usage(out);
    return kExitOk;
  }
  try {
    if (opts.bench) {
      double rate = 0;
      if (const base::status measured =
              measure_hash_rate(opts.algorithm, opts.bench_seconds, opts.height, rate);
          !measured) {
        err << "orbeck-hash: " << measured.message() << "\n";
        return 1;
      }
      out << "H/s: " << std::fixed << std::setprecision(2) << rate << "\n";
      if (crypto::kAlgorithms[opts.algorithm].loop == crypto::loop_family::random) {
        // The per-height program against the division and square root it
        // replaces: the same time on cn/2, in the same run.
        double v8_rate = 0;
        if (const base::status measured =
                measure_hash_rate(crypto::kCryptoNightV8, opts.bench_seconds, 0, v8_rate);
            !measured) {
          err << "orbeck-hash: " << measured.message() << "\n";
          return 1;
        }
        out << "cn/2 H/s: " << v8_rate << "\n"
            << crypto::kAlgorithms[opts.algorithm].pool_name
            << " hash time / cn/2 hash time: " << std::setprecision(3) << (rate > 0 ? v8_rate / rate : 0.0)
            << "\n";
      }
      return kExitOk;
    }
    std::unique_ptr<crypto::CryptoNight> cn;
    if (const base::status created = crypto::CryptoNight::create(cn); !created) {
      err << "orbeck-hash: " << created.message() << "\n";
      return 1;
    }
    std::vector<uint8_t> blob;
    uint8_t hash[32];
    if (!opts.inputs.empty()) {
      // All arguments are checked before any hash is printed.
      for (size_t n = 0; n < opts.inputs.size(); ++n) {
        if (!base::hex_decode(opts.inputs[n], &blob)) {
          err << "orbeck-hash: argument " << n + 1 << ": " << hex_problem(opts.inputs[n]) << "\n";
          return kExitBadInput;
        }
      }
      for (const std::string& text : opts.inputs) {
        base::hex_decode(text, &blob);
        cn->hash(opts.algorithm, blob.data(), blob.size(), hash, opts.height);
        out << base::hex_encode(hash, sizeof(hash)) << "\n";
      }
      return kExitOk;
    }
    std::string line;
    for (uint64_t number = 1; std::getline(in, line); ++number) {
      const std::string text = trim(line);
      if (text.empty()) continue;
      if (!base::hex_decode(text, &blob)) {
        err << "orbeck-hash: line " << number << ": " << hex_problem(text) << "\n";
        return kExitBadInput;
      }
      cn->hash(opts.algorithm, blob.data(), blob.size(), hash, opts.height);
      out << base::hex_encode(hash, sizeof(hash)) << "\n" << std::flush;
    }
    return kExitOk;
  } catch (const std::exception& e) {
    err << "orbeck-hash: " << e.what() << "\n";
    return 1;
  }
}

}  // namespace orbeck_hash
