#include "app/command_line.h"

#include <boost/program_options.hpp>
#include <cstdio>
#include <sstream>

#include "app/config.h"
#include "app/console.h"
#include "app/printer.h"

namespace po = boost::program_options;

namespace app {
namespace {

constexpr const char* kAlgoHelp =
    "hash algorithm to use: -1 for auto detect,\n"
    "  0 = CryptoNight\n"
    "  1 = CryptoNightV7\n"
    "  2 = CryptoNight-Heavy\n"
    "  3 = CryptoNight-Lite\n"
    "  4 = CryptoNightV7-Lite\n"
    "  5 = CryptoNightTUBE-Heavy\n"
    "  6 = CryptoNightXTL\n"
    "  7 = CryptoNightXHV-Heavy\n"
    "  8 = CryptoNight-Fast\n"
    "  9 = CryptoNightFEST\n"
    " 10 = CryptoNightV8";

// The five option groups, bound to config and to the local values.
struct option_groups {
  po::options_description generic{"Generic options"};
  po::options_description pool{"Pool Configuration"};
  po::options_description remote{"Remote Access"};
  po::options_description optimizations{"Optimizations"};
  po::options_description hidden{""};

  option_groups(config& c, std::string& gpu_text, uint32_t& remote_port) {
    generic.add_options()
        ("help,h", "show this help message")
        ("opencl,O", po::value<int32_t>(&c.platform_index),
         "index of the OpenCL plattform to use (-1 for auto detect)")
        ("gpu,G", po::value<std::string>(&gpu_text)->default_value("0"),
         "index of the GPUs to use. Separate by comma to specify multiple GPUs e.g 0,1,2")
        ("log", po::value<std::string>(&c.log_path), "write to log file");
    pool.add_options()
        ("pool,S", po::value<std::string>(&c.pool_address),
         "pool server for a cryptonight based currency")
        ("user,u", po::value<std::string>(&c.user), "user or wallet address for the pool")
        ("password,p", po::value<std::string>(&c.password),
         "password for the pool server (if needed)")
        ("reconnects", po::value<int32_t>(&c.max_reconnects)->default_value(100),
         "pool reconnection attemps before quitting")
        ("algo,a", po::value<int32_t>(&c.algorithm)->default_value(-1), kAlgoHelp)
        ("nonicehash", "disable nicehasher support, use the full 32bit nonce");
    remote.add_options()
        ("remoteaccess,R", "enable remote access on 127.0.0.1:7777")
        ("remoteport", po::value<uint32_t>(&remote_port)->default_value(7777),
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
        ("autotune", "measure hashes per round and queue count per GPU and algorithm, store the best");
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
  printer& out = printer::inst();
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
  printer& out = printer::inst();
  out.print_plain("\nFor a complete list of configuration options run:\n\n");
  out.print_plain(kProgramName);
  out.print_plain(" --help\n");
}

}  // namespace

std::string help_text() {
  config scratch;
  std::string gpu_text;
  uint32_t port = 0;
  return option_groups(scratch, gpu_text, port).shown_help();
}

startup_result start_up(int argc, const char* const* argv) {
  startup_result result;
  config& c = cfg();
  std::string gpu_text;
  option_groups groups(c, gpu_text, result.remote_port);

  po::options_description all;
  all.add(groups.generic).add(groups.pool).add(groups.optimizations).add(groups.remote).add(
      groups.hidden);
  po::variables_map vm;
  try {
    po::store(po::parse_command_line(argc, argv, all), vm);
    po::notify(vm);
  } catch (const po::error& e) {
    // A command line the option library rejects: its message, then the hint.
    printer::inst().print_error("%s", e.what());
    print_options_hint();
    result.finished = true;
    result.exit_code = 1;
    return result;
  }

  print_banner();

  if (!c.log_path.empty()) printer::inst().open_log(c.log_path.c_str());

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

  parse_gpu_list(gpu_text, c.gpu_list);

  // The mining threads split a 24-bit nonce space in nicehash mode.
  if (c.nicehash && c.gpu_list.size() > 24) {
    c.nicehash = false;
    printer::inst().print_leveled(
        kEvent, "Nicehash support with more then 24 devices not possible: nicehash disabled");
  }

  if (vm.count("help") != 0) {
    printer::inst().print_plain(groups.shown_help());
    result.finished = true;
    result.exit_code = 1;
    return result;
  }

  if (c.benchmark_seconds < 0) {
    printer::inst().print_error("Benchmark time %i not supported. It must be 1 second or more",
                                c.benchmark_seconds);
    print_options_hint();
    result.finished = true;
    result.exit_code = 1;
    return result;
  }

  // The offline benchmark and the tuner need no pool and no user.
  if (c.benchmark_seconds == 0 && !c.autotune && (c.pool_address.empty() || c.user.empty())) {
    printer& out = printer::inst();
    out.print_plain("No pool server and username configured.\n");
    out.print_plain("\nFor a minimal configuration run:\n\n");
    out.print_plain(kProgramName);
    out.print_plain(" -S [pool server] -u [username or wallet address]\n");
    print_options_hint();
    discard_pending_key();
    result.finished = true;
    result.exit_code = 0;
    return result;
  }

  if (c.algorithm < -1 || c.algorithm > 10) {
    printer::inst().print_error("Algo %i not supported. Algo must be in the range -1 to 10",
                                c.algorithm);
    print_options_hint();
    discard_pending_key();
    result.finished = true;
    result.exit_code = 0;
    return result;
  }

  return result;
}

}  // namespace app
