#include "app/command_line.h"

#include <boost/asio/ip/address.hpp>
#include <boost/program_options.hpp>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string_view>
#include <sstream>

#include "app/config.h"
#include "app/config_file.h"
#include "app/option_checks.h"
#include "app/version.h"
#include "base/console.h"
#include "net/pool_address.h"
#include "base/printer.h"
#include "crypto/algorithm.h"

namespace po = boost::program_options;

namespace app {
namespace {

// The pool options as given, one entry per occurrence.
struct pool_texts {
  std::vector<std::string> addresses;
  std::vector<std::string> places;  // config file place of each address, or empty
  std::vector<std::string> users;
  std::vector<std::string> passwords;
  std::vector<std::string> fingerprints;
};

// The --algo value: an id or a pool name (crypto::parse_algorithm_argument);
// the range of an id is checked after parsing, with its own message.
struct algorithm_value {
  int32_t id = -1;
};

// Boost's hook for parsing an algorithm_value (found by argument lookup).
void validate(boost::any& v, const std::vector<std::string>& values, algorithm_value*, int) {
  po::validators::check_first_occurrence(v);
  const std::string& text = po::validators::get_single_string(values);
  algorithm_value value;
  if (!crypto::parse_algorithm_argument(text, value.id)) throw po::invalid_option_value(text);
  v = value;
}

// The remote access options as given.
struct remote_texts {
  int64_t port = 7777;  // wide, so that -1 and 70000 are seen and refused
  std::string host = "127.0.0.1";
  std::string token;
};

// The five option groups, bound to config and to the local values.
struct option_groups {
  po::options_description generic{"Generic options"};
  po::options_description pool{"Pool Configuration"};
  po::options_description remote{"Remote Access"};
  po::options_description optimizations{"Optimizations"};
  po::options_description hidden{""};

  option_groups(config& c, std::string& gpu_text, std::string& cpu_text,
                std::string& huge_pages_text, remote_texts& remote_given, pool_texts& pools) {
    generic.add_options()
        ("help,h", "show this help message")
        ("opencl,O", po::value<int32_t>(&c.platform_index),
         "index of the OpenCL plattform to use (-1 for auto detect)")
        ("gpu,G", po::value<std::string>(&gpu_text)->default_value("0"),
         "index of the GPUs to use. Separate by comma to specify multiple GPUs e.g 0,1,2")
        ("log", po::value<std::string>(&c.log_path), "write to log file");
    pool.add_options()
        ("pool,S", po::value<std::vector<std::string>>(&pools.addresses),
         "pool server for a cryptonight based currency")
        ("user,u", po::value<std::vector<std::string>>(&pools.users), "user or wallet address for the pool")
        ("password,p", po::value<std::vector<std::string>>(&pools.passwords),
         "password for the pool server (if needed)")
        ("reconnects", po::value<int32_t>(&c.max_reconnects)->default_value(100),
         "pool reconnection attemps before quitting")
        ("algo,a",
         po::value<algorithm_value>()
             ->default_value(algorithm_value{-1}, "-1")
             ->notifier([&c](const algorithm_value& value) { c.algorithm = value.id; }),
         crypto::algo_help_text().c_str())
        ("nonicehash", "disable nicehasher support, use the full 32bit nonce");
    remote.add_options()
        ("remoteaccess,R", "enable remote access on 127.0.0.1:7777")
        ("remoteport", po::value<int64_t>(&remote_given.port)->default_value(7777),
         "set remote port to use");
    optimizations.add_options()
        ("intensity,I", po::value<std::string>(&c.intensity_text)->default_value("-1"),
         "intensity levels. Separate by comma to specify for each GPU. Range 0 to 10 (-1 = auto "
         "detect)")
        ("fastjobswitch", "use fast job switching mode to prevent outdated shares")
        ("ratewatchdog", "enable watchdog on hash rate which resets a GPU if necessary");
    hidden.add_options()
        ("maxmem", "use max available card memory, optimize hbcc use")
        ("forcecompute", "force to use the blockchain compute mode")
        ("buildkernel", "build kernel and write binaries")
        ("nicehash", "enable nicehasher support (3 byte nonce)")
        ("xgroupsize", po::value<int32_t>(&c.group_size)->default_value(0), "overwrite group size")
        ("xnumqueues", po::value<int32_t>(&c.num_queues)->default_value(0), "overwrite num queues")
        ("anydevice", "mine on any OpenCL device (GPU, CPU or accelerator)")
        ("noselftest", "skip the kernel self-test before mining")
        ("benchmark", po::value<int32_t>(&c.benchmark_seconds),
         "mine a synthetic job for SECONDS per algorithm without a pool and print the hash rates")
        ("tls-fingerprint", po::value<std::vector<std::string>>(&pools.fingerprints),
         "SHA-256 fingerprint of the TLS pool's certificate to trust (64 hex digits, colons allowed)")
        ("primary-retry", po::value<int32_t>(&c.primary_retry_s)->default_value(60),
         "seconds between attempts to return to a higher pool of the list")
        ("keepalive", po::value<int32_t>(&c.keepalive_s)->default_value(60),
         "seconds without a request before a keep-alive is sent (0 = off)")
        ("autotune", "measure hashes per round and queue count per GPU and algorithm, store the best")
        ("version", "print the version and exit")
        ("config", po::value<std::string>(&c.config_path), "read the settings from a JSON file")
        ("temp-limit", po::value<double>(&c.temp_limit_c)->default_value(0),
         "pause a GPU whose temperature reaches this many degrees Celsius (0 = off)")
        ("temp-resume", po::value<double>(&c.temp_resume_c)->default_value(0),
         "resume a paused GPU at this temperature (default: limit minus 10)")
        ("remotehost", po::value<std::string>(&remote_given.host),
         "address remote access listens on (IPv4 or IPv6, default 127.0.0.1)")
        ("cpu-threads", po::value<std::string>(&cpu_text),
         "mining threads on the CPU: a count (0 = off) or auto, one per core whose cache holds a scratchpad")
        ("remotetoken", po::value<std::string>(&remote_given.token),
         "bearer token every remote access request must carry (or ORBECK_REMOTE_TOKEN)")
        ("autotune-seconds", po::value<double>(&c.autotune_seconds)->default_value(0),
         "seconds --autotune measures each setting (0 = 4 per GPU setting, 3 per CPU one)")
        ("cn-r-context-builds", po::value<int32_t>(&c.cn_r_context_builds)->default_value(64),
         "make a GPU's OpenCL context anew after this many cn/r kernel builds, handing back what the driver keeps per build (0 = never)")
        ("autotune-candidates", po::value<int32_t>(&c.autotune_candidates)->default_value(0),
         "settings --autotune measures at most per GPU and algorithm (0 = every candidate)")
        ("cpu-huge-pages", po::value<std::string>(&huge_pages_text)->default_value("on"),
         "CPU scratchpads in huge pages: on or off")
        ("cpu-ways", po::value<int32_t>(&c.cpu_ways)->default_value(0),
         "hashes interleaved per CPU thread, 1 to 4 (0 = chosen per algorithm)");
  }

  std::string shown_help() const {
    po::options_description shown;
    shown.add(generic).add(pool).add(remote).add(optimizations);
    std::ostringstream out;
    out << shown;
    return out.str();
  }
};

void print_banner() {
  base::printer& out = base::printer::inst();
  const std::string line = std::string(72, '~') + "\n\n";
  out.print_plain(line);
  out.print_plain("  Orbeck 1.5.0 CryptoNight mining optimized for AMD Radeon Vega GPUs\n\n");
  char donation[128];
  snprintf(donation, sizeof(donation), "  Donating %.1f%% mining power to developer. Thanks.\n\n",
           kDonationPercent);
  out.print_plain(donation);
  out.print_plain("  For current stats press 's'\n");
  out.print_plain("  For seamless exit press 'q'\n\n");
  out.print_plain(line);
}

void print_options_hint() {
  base::printer& out = base::printer::inst();
  out.print_plain("\nFor a complete list of configuration options run:\n\n");
  out.print_plain(kProgramName);
  out.print_plain(" --help\n");
}

// An option given once applies to every pool; given as often as --pool, its
// values pair with the pools in order. The value for pool `index`, or
// `fallback` when the option was not given.
const std::string& value_for(const std::vector<std::string>& values, size_t index, const std::string& fallback) {
  if (values.empty()) return fallback;
  return values.size() == 1 ? values[0] : values[index];
}

std::string count_problem(const char* option, size_t given, size_t pools) {
  if (given <= 1 || given == pools) return "";
  return std::string(option) + " is given " + std::to_string(given) + " times for " + std::to_string(pools) +
         (pools == 1 ? " pool" : " pools") + ": give it once for all pools or once for each --pool";
}

// Builds the pool list from the options; the error text, or empty when the
// list is sound. The first pool is also pool_address, user and password.
std::string build_pool_list(config& c, const pool_texts& given, std::string& warning, bool& in_file) {
  const size_t count = given.addresses.size();
  // The first values also stand alone, for the missing-pool check.
  c.pool_address = count > 0 ? given.addresses[0] : std::string();
  c.user = given.users.empty() ? std::string() : given.users[0];
  c.password = given.passwords.empty() ? std::string() : given.passwords[0];
  for (const std::string& problem : {count_problem("--user", given.users.size(), count),
                                     count_problem("--password", given.passwords.size(), count),
                                     count_problem("--tls-fingerprint", given.fingerprints.size(), count)}) {
    if (!problem.empty() && count > 0) return problem;
  }
  static const std::string kNone;
  bool any_tls = false;
  c.pools.clear();
  for (size_t i = 0; i < count; ++i) {
    pool_config pool;
    pool.address = given.addresses[i];
    pool.user = value_for(given.users, i, kNone);
    pool.password = value_for(given.passwords, i, kNone);
    net::pool_scheme scheme;
    std::string rule;
    if (const base::status split = net::split_pool_scheme(pool.address, scheme); !split) {
      rule = split.message() + " (use stratum+tcp:// or stratum+ssl://)";
    } else {
      rule = pool_address_rule(scheme.rest);
    }
    if (!rule.empty()) {
      const std::string& place = i < given.places.size() ? given.places[i] : kNone;
      in_file = !place.empty();
      if (in_file) return place + ": key \"url\": " + pool.address + ": " + rule;
      return "--pool " + pool.address + ": " + rule;
    }
    any_tls = any_tls || scheme.transport == net::pool_transport::tls;
    // An empty pin leaves that pool to the CA store.
    const std::string& pin = value_for(given.fingerprints, i, kNone);
    if (!pin.empty()) {
      pool.tls_fingerprint = crypto::parse_fingerprint(pin);
      if (!pool.tls_fingerprint)
        return "--tls-fingerprint " + pin + ": expected a SHA-256 fingerprint of 64 hex digits (colons allowed)";
    }
    c.pools.push_back(std::move(pool));
  }
  if (!given.fingerprints.empty() && !any_tls && count > 0)
    warning = "--tls-fingerprint is ignored: no pool has a TLS address";
  return "";
}

std::string help_text_of_groups() {
  config scratch;
  std::string gpu_text;
  pool_texts pools;
  remote_texts remote_given;
  std::string cpu_text;
  std::string huge_pages_text;
  return option_groups(scratch, gpu_text, cpu_text, huge_pages_text, remote_given, pools)
      .shown_help();
}

// The file's pool list, unless the command line gave --pool: each of user,
// password and fingerprint comes from the command line when given there,
// else from the file's pools (the file's top-level value filling the gaps).
void merge_file_pools(const config_file& file, const std::set<std::string>& on_command_line,
                      pool_texts& pools) {
  if (on_command_line.count("pool") != 0 || file.pools.empty()) return;
  pools.addresses.clear();
  pools.places.clear();
  for (const file_pool& pool : file.pools) {
    pools.addresses.push_back(pool.url);
    pools.places.push_back(pool.url_place);
  }
  const auto per_pool = [&](const char* option, std::optional<std::string> file_pool::*field,
                            std::vector<std::string>& values) {
    if (on_command_line.count(option) != 0) return;
    bool any = false;
    for (const file_pool& pool : file.pools) any = any || (pool.*field).has_value();
    if (!any) return;
    const std::string fallback = values.empty() ? std::string() : values[0];
    values.clear();
    for (const file_pool& pool : file.pools) values.push_back((pool.*field).value_or(fallback));
  };
  per_pool("user", &file_pool::user, pools.users);
  per_pool("password", &file_pool::password, pools.passwords);
  per_pool("tls-fingerprint", &file_pool::tls_fingerprint, pools.fingerprints);
}

std::string degrees(double value);

// The option library's message for e. Its text substitution never ends when
// a value it shows contains its own placeholder ("%value%"), so a rejected
// input with a '%' anywhere gets a message of our own instead.
std::string option_error_text(const po::error& e, const std::vector<std::string>& inputs) {
  for (const std::string& input : inputs) {
    if (input.find('%') != std::string::npos)
      return "an option or its value is not valid (the text contains '%' and is not repeated here)";
  }
  return e.what();
}

std::string temperature_problem(const config& c, bool resume_given) {
  if (c.temp_limit_c < 0 || c.temp_limit_c > 200 || std::isnan(c.temp_limit_c))
    return "--temp-limit " + degrees(c.temp_limit_c) + ": it must be 1 to 200 degrees (0 = off)";
  if (c.temp_limit_c == 0) {
    if (resume_given) return "--temp-resume needs --temp-limit";
    return "";
  }
  if (resume_given && !(c.temp_resume_c < c.temp_limit_c))
    return "--temp-resume must be below --temp-limit";
  return "";
}

std::string degrees(double value) {
  char text[32];
  snprintf(text, sizeof(text), "%g", value);
  return text;
}

// Checks the listening address and the token, filling result's remote
// fields; the error text, or empty when they are sound. Statistics are never
// offered beyond loopback without a token.
std::string check_remote_access(const remote_texts& given, bool token_given, options_result& result) {
  boost::system::error_code error;
  const boost::asio::ip::address address = boost::asio::ip::make_address(given.host, error);
  if (error)
    return "--remotehost " + given.host + ": expected an IPv4 or IPv6 address such as 127.0.0.1, 0.0.0.0 or ::";
  result.remote_host = address.to_string();
  result.remote_token = given.token;
  const char* source = "--remotetoken";
  if (!token_given) {
    const char* from_environment = std::getenv(kRemoteTokenVariable);
    // An empty variable counts as unset, as the shell's VAR= idiom means.
    if (from_environment != nullptr) result.remote_token = from_environment;
    source = kRemoteTokenVariable;
  }
  if ((token_given || !result.remote_token.empty()) && !valid_remote_token(result.remote_token))
    return std::string(source) + ": the token must be printable ASCII without spaces, and not empty";
  if (result.remote_access && !address.is_loopback() && result.remote_token.empty())
    return "Remote access on " + result.remote_host + " needs a token: give --remotetoken or set " +
           kRemoteTokenVariable + ", or listen on a loopback address such as 127.0.0.1";
  return "";
}

// The line that refuses `value` of option `name`: "--name value: rule", or
// "PATH:LINE:COLUMN: key "name": value: rule" when the config file gave it.
std::string refusal(const std::map<std::string, std::string>& file_places, const std::string& name,
                    const std::string& value, const std::string& rule) {
  const auto place = file_places.find(name);
  if (place != file_places.end()) return place->second + ": key \"" + name + "\": " + value + ": " + rule;
  return "--" + name + " " + value + ": " + rule;
}

// The first option value that breaks its rule, as its refusal line; empty
// when every one is sound. in_file: the value stands in the config file.
std::string value_problem(const config& c, const std::string& gpu_text,
                          const std::string& huge_pages_text, const remote_texts& remote,
                          const std::map<std::string, std::string>& places, bool& in_file) {
  struct check {
    const char* name;
    std::string value;
    std::string rule;
  };
  const check checks[] = {
      {"opencl", std::to_string(c.platform_index),
       c.platform_index < -1 ? "the platform index must be 0 or more (-1 detects it)" : ""},
      {"gpu", gpu_text, gpu_list_rule(gpu_text)},
      {"intensity", c.intensity_text, intensity_rule(c.intensity_text)},
      {"reconnects", std::to_string(c.max_reconnects),
       c.max_reconnects < 0 ? "the count must be 0 (retry for ever) or more" : ""},
      {"remoteport", std::to_string(remote.port), port_rule(remote.port, true)},
      {"xgroupsize", std::to_string(c.group_size),
       c.group_size < 0 ? "the hashes per round must be 0 (from the intensity) or more" : ""},
      {"xnumqueues", std::to_string(c.num_queues),
       c.num_queues < 0 || c.num_queues > 2 ? "the queue count must be 0 (from the intensity), 1 or 2" : ""},
      {"primary-retry", std::to_string(c.primary_retry_s),
       c.primary_retry_s < 1 ? "it must be 1 second or more" : ""},
      {"keepalive", std::to_string(c.keepalive_s), c.keepalive_s < 0 ? "it must be 0 (off) or more seconds" : ""},
      {"autotune-seconds", degrees(c.autotune_seconds),
       c.autotune_seconds >= 0 && c.autotune_seconds < 1e9
           ? ""
           : "it must be 0 (the default) or more seconds, below 1e9"},
      {"cn-r-context-builds", std::to_string(c.cn_r_context_builds),
       c.cn_r_context_builds < 0 ? "the count must be 0 (never) or more" : ""},
      {"autotune-candidates", std::to_string(c.autotune_candidates),
       c.autotune_candidates < 0 ? "the count must be 0 (every candidate) or more" : ""},
      {"cpu-huge-pages", huge_pages_text,
       huge_pages_text == "on" || huge_pages_text == "off" ? "" : "expected on or off"},
      {"cpu-ways", std::to_string(c.cpu_ways),
       c.cpu_ways < 0 || c.cpu_ways > 4
           ? "the hashes per thread must be 1 to 4 (0 = chosen per algorithm)"
           : ""},
  };
  for (const check& each : checks) {
    if (each.rule.empty()) continue;
    in_file = places.count(each.name) != 0;
    return refusal(places, each.name, each.value, each.rule);
  }
  return "";
}

}  // namespace

bool valid_remote_token(const std::string& token) {
  if (token.empty()) return false;
  for (char c : token) {
    if (static_cast<unsigned char>(c) < 0x21 || static_cast<unsigned char>(c) > 0x7E) return false;
  }
  return true;
}

std::string help_text() { return help_text_of_groups(); }

options_result read_options(int argc, const char* const* argv, config& c,
                            const config_loader& load) {
  options_result result;
  std::string gpu_text;
  pool_texts pools;
  remote_texts remote_given;
  std::string cpu_text;
  std::string huge_pages_text;
  option_groups groups(c, gpu_text, cpu_text, huge_pages_text, remote_given, pools);

  po::options_description all;
  all.add(groups.generic).add(groups.pool).add(groups.optimizations).add(groups.remote).add(
      groups.hidden);
  po::variables_map vm;
  std::set<std::string> on_command_line;
  std::vector<std::string> inputs(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
  try {
    const po::parsed_options parsed = po::parse_command_line(argc, argv, all);
    for (const po::option& option : parsed.options) on_command_line.insert(option.string_key);
    po::store(parsed, vm);
  } catch (const po::error& e) {
    result.rejected = true;
    result.error = option_error_text(e, inputs);
    return result;
  }
  if (vm.count("version") != 0) {
    result.version = true;
    return result;
  }

  config_file file;
  if (vm.count("config") != 0) {
    const std::string path = vm["config"].as<std::string>();
    if (const base::status loaded = load(path, file); !loaded) {
      result.rejected = true;
      result.error = loaded.message();
      result.hint = false;
      return result;
    }
    inputs.insert(inputs.end(), file.arguments.begin(), file.arguments.end());
    // A value the command line gives is named there, not in the file.
    for (const auto& [name, place] : file.places) {
      if (on_command_line.count(name) == 0) result.file_places.emplace(name, place);
    }
    // Stored second: a value the command line gave stays.
    try {
      po::store(po::command_line_parser(file.arguments).options(all).style(
                    po::command_line_style::unix_style & ~po::command_line_style::allow_guessing).run(),
                vm);
    } catch (const po::error& e) {
      result.rejected = true;
      result.error = path + ": " + option_error_text(e, file.arguments);
      result.hint = false;
      return result;
    }
  }
  try {
    po::notify(vm);
  } catch (const po::error& e) {
    result.rejected = true;
    result.error = option_error_text(e, inputs);
    return result;
  }
  merge_file_pools(file, on_command_line, pools);

  c.nicehash = vm.count("nonicehash") == 0;
  c.build_kernel = vm.count("buildkernel") != 0;
  c.force_compute = vm.count("forcecompute") != 0;
  c.fast_job_switch = vm.count("fastjobswitch") != 0;
  c.rate_watchdog = vm.count("ratewatchdog") != 0;
  c.max_mem = vm.count("maxmem") != 0;
  c.any_device = vm.count("anydevice") != 0;
  c.no_self_test = vm.count("noselftest") != 0;
  c.autotune = vm.count("autotune") != 0;
  result.remote_access = vm.count("remoteaccess") != 0;
  c.gpu_chosen = !vm["gpu"].defaulted() || vm.count("opencl") != 0 || c.any_device;
  c.cpu_threads = kCpuThreadsNotGiven;
  std::string cpu_rule;
  if (vm.count("cpu-threads") != 0) cpu_rule = cpu_threads_rule(cpu_text, c.cpu_threads);
  c.cpu_huge_pages = huge_pages_text != "off";
  result.value_problem = value_problem(c, gpu_text, huge_pages_text, remote_given,
                                       result.file_places, result.value_problem_in_file);
  if (result.value_problem.empty() && !cpu_rule.empty()) {
    result.value_problem_in_file = result.file_places.count("cpu-threads") != 0;
    result.value_problem = refusal(result.file_places, "cpu-threads", cpu_text, cpu_rule);
  }
  result.remote_port = static_cast<uint32_t>(remote_given.port & 0xFFFFFFFF);
  result.remote_problem = check_remote_access(remote_given, vm.count("remotetoken") != 0, result);
  result.help = vm.count("help") != 0;
  result.gpu_text = gpu_text;

  const bool resume_given = !vm["temp-resume"].defaulted();
  result.temperature_problem = temperature_problem(c, resume_given);
  if (c.temp_limit_c > 0 && !resume_given) c.temp_resume_c = c.temp_limit_c - 10;

  result.pool_problem = build_pool_list(c, pools, result.pool_warning, result.pool_problem_in_file);
  return result;
}

startup_result start_up(int argc, const char* const* argv) {
  startup_result result;
  config& c = cfg();
  const options_result options = read_options(argc, argv, c, read_config_file);
  result.remote_port = options.remote_port;
  result.remote_access = options.remote_access;
  result.remote_host = options.remote_host;
  result.remote_token = options.remote_token;
  if (options.rejected) {
    // A command line the option library rejects: its message, then the hint.
    // A config file that cannot be used: its one line.
    base::printer::inst().print_error("%s", options.error.c_str());
    if (options.hint) print_options_hint();
    result.finished = true;
    result.exit_code = 1;
    return result;
  }
  if (options.version) {
    base::printer::inst().print_plain(version_line(kProgramName) + "\n");
    result.finished = true;
    result.exit_code = 0;
    return result;
  }

  print_banner();

  if (!c.log_path.empty() && !base::printer::inst().open_log(c.log_path.c_str())) {
    const std::string why = std::string("cannot open the log file for appending: ") + std::strerror(errno);
    base::printer::inst().print_error("%s", refusal(options.file_places, "log", c.log_path, why).c_str());
    if (options.file_places.count("log") == 0) print_options_hint();
    result.finished = true;
    result.exit_code = 1;
    return result;
  }

  parse_gpu_list(options.gpu_text, c.gpu_list);

  // The mining threads split a 24-bit nonce space in nicehash mode.
  if (c.nicehash && c.gpu_list.size() > 24) {
    c.nicehash = false;
    base::printer::inst().print_leveled(
        base::kEvent, "Nicehash support with more then 24 devices not possible: nicehash disabled");
  }

  if (options.help) {
    base::printer::inst().print_plain(help_text());
    result.finished = true;
    result.exit_code = 1;
    return result;
  }

  if (c.benchmark_seconds < 0) {
    base::printer::inst().print_error("Benchmark time %i not supported. It must be 1 second or more",
                                c.benchmark_seconds);
    print_options_hint();
    result.finished = true;
    result.exit_code = 1;
    return result;
  }

  if (!options.value_problem.empty()) {
    base::printer::inst().print_error("%s", options.value_problem.c_str());
    if (!options.value_problem_in_file) print_options_hint();
    result.finished = true;
    result.exit_code = 1;
    return result;
  }

  // Checked after the missing-pool hint, which stays the first answer.
  const std::string& pool_problem = options.pool_problem;
  if (!options.pool_warning.empty()) base::printer::inst().print_leveled(base::kEvent, "%s", options.pool_warning.c_str());

  // The offline benchmark and the tuner need no pool and no user.
  if (c.benchmark_seconds == 0 && !c.autotune && (c.pool_address.empty() || c.user.empty())) {
    base::printer& out = base::printer::inst();
    out.print_plain("No pool server and username configured.\n");
    out.print_plain("\nFor a minimal configuration run:\n\n");
    out.print_plain(kProgramName);
    out.print_plain(" -S [pool server] -u [username or wallet address]\n");
    print_options_hint();
    base::discard_pending_key();
    result.finished = true;
    result.exit_code = 0;
    return result;
  }

  if (!pool_problem.empty() || !options.remote_problem.empty()) {
    const std::string& problem = pool_problem.empty() ? options.remote_problem : pool_problem;
    base::printer::inst().print_error("%s", problem.c_str());
    if (pool_problem.empty() || !options.pool_problem_in_file) print_options_hint();
    result.finished = true;
    result.exit_code = 1;
    return result;
  }

  if (!options.temperature_problem.empty()) {
    base::printer::inst().print_error("%s", options.temperature_problem.c_str());
    print_options_hint();
    result.finished = true;
    result.exit_code = 1;
    return result;
  }

  if (c.algorithm < -1 || c.algorithm >= crypto::kAlgoCount) {
    base::printer::inst().print_error("Algo %i not supported. Algo must be in the range -1 to %i",
                                      c.algorithm, crypto::kAlgoCount - 1);
    print_options_hint();
    base::discard_pending_key();
    result.finished = true;
    result.exit_code = 1;
    return result;
  }

  return result;
}

}  // namespace app
