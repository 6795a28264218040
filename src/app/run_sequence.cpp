#include "app/run_sequence.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/config.h"
#include "base/console.h"
#include "base/printer.h"
#include "base/run_flags.h"
#include "base/service_notify.h"
#include "core/backend.h"
#include "core/backend_group.h"
#include "core/benchmark.h"
#include "core/executor.h"
#include "cpu/cpu_miner.h"
#include "crypto/cryptonight.h"
#include "gpu/mine_thread.h"
#include "remote/remote_access_server.h"

namespace app {
namespace {

// Monotonic time of the first stop signal (0: none yet) and how many came
// after it. Written by the signal handler only.
std::atomic<int64_t> first_stop_ns{0};
std::atomic<int> later_stops{0};
// A second signal this soon after the first is taken for the same request
// (a shell and a service manager, or `timeout`, both passing one on).
constexpr int64_t kRepeatWindowNs = 2'000'000'000;

int64_t monotonic_ns() {
  timespec now = {};
  clock_gettime(CLOCK_MONOTONIC, &now);  // async-signal-safe
  return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// "Caught signal N\n" straight to standard output, without the printer's
// lock or formatting (neither is safe in a signal handler).
void announce_signal(int number) {
  char text[32] = "Caught signal ";
  size_t length = sizeof("Caught signal ") - 1;
  char digits[12];
  size_t count = 0;
  unsigned value = number < 0 ? 0u : static_cast<unsigned>(number);
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0 && count < sizeof(digits));
  while (count > 0) text[length++] = digits[--count];
  text[length++] = '\n';
  ssize_t ignored = write(STDOUT_FILENO, text, length);
  (void)ignored;
}

// SIGINT, SIGTERM and SIGHUP: announce, then let the keyboard loop run the
// orderly exit (a service manager restarts the program after a SIGHUP, which
// is how it takes up a changed configuration). A second signal within two
// seconds of the first is ignored while that exit runs; a third one, or one
// after those two seconds, ends the process at once.
void on_stop_signal(int number) {
  const int64_t now = monotonic_ns();
  int64_t first = 0;
  if (first_stop_ns.compare_exchange_strong(first, now)) {
    announce_signal(number);
    base::app_running.store(false);
    return;
  }
  if (later_stops.fetch_add(1) == 0 && now - first < kRepeatWindowNs) return;
  base::restore_terminal();
  _exit(0);
}

void install_signal_handlers() {
  struct sigaction action = {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
}

// The pool cannot be reached within the attempts the user allowed: end the
// process at once. It is a failure (exit code 1), so a service manager
// restarts the miner instead of leaving the rig idle.
void give_up() {
  std::fflush(stdout);
  base::restore_terminal();
  std::_Exit(1);
}

// Every GPU failed its kernel self-test: nothing can mine correctly.
void no_gpu_left() {
  std::fflush(stdout);
  base::restore_terminal();
  std::_Exit(1);
}

// The OpenCL backend's settings from the configuration.
gpu::backend_options gpu_options(const config& c) {
  gpu::backend_options options;
  options.device.any_device = c.any_device;
  options.device.max_mem = c.max_mem;
  options.device.group_size = c.group_size;
  options.device.num_queues = c.num_queues;
  options.platform_index = c.platform_index;
  options.gpu_list = c.gpu_list;
  options.intensity_text = c.intensity_text;
  options.algorithm = c.algorithm;
  options.build_kernel = c.build_kernel;
  options.fast_job_switch = c.fast_job_switch;
  options.rate_watchdog = c.rate_watchdog;
  options.no_self_test = c.no_self_test;
  options.temp_limit_c = c.temp_limit_c;
  options.temp_resume_c = c.temp_resume_c;
  options.autotune_seconds = c.autotune_seconds;
  options.autotune_candidates = static_cast<size_t>(c.autotune_candidates);
  options.height_builds_per_context = static_cast<uint32_t>(c.cn_r_context_builds);
  return options;
}

// The CPU backend's settings from the configuration.
cpu::cpu_options cpu_options(const config& c, int32_t threads, uint32_t first_thread) {
  cpu::cpu_options options;
  options.threads = threads;
  options.algorithm = c.algorithm;
  options.nonces.first = first_thread;
  // Benchmarks compare scratchpads in huge and in normal pages, and the
  // interleaved hashes per thread.
  options.huge_pages = c.cpu_huge_pages;
  options.ways = c.cpu_ways;
  options.temp_limit_c = c.temp_limit_c;
  options.temp_resume_c = c.temp_resume_c;
  options.ways_store = cpu::ways_store_path();
  if (c.autotune_seconds > 0) options.tune_seconds = c.autotune_seconds;
  return options;
}

// The backends the program mines with, started up (nullptr when mining
// cannot start), and the length of their thread list. The GPUs alone unless
// --cpu-threads asks for CPU threads beside them; the CPU alone when the
// GPUs are off or, with no GPU option given, when no GPU starts up.
std::unique_ptr<core::backend> open_backend(const config& c, size_t& threads) {
  std::random_device random;
  const int32_t key = static_cast<int32_t>(random() & 0xFF);  // the top nonce bytes of every thread
  const int32_t cpu_count = c.cpu_threads == kCpuThreadsNotGiven ? 0 : c.cpu_threads;
  const auto cpu_alone = [&](int32_t count) -> std::unique_ptr<core::backend> {
    auto miner = std::make_unique<cpu::cpu_miner>(cpu_options(c, count, 0));
    if (!miner->init_devices()) return nullptr;
    threads = miner->planned_threads();
    return miner;
  };

  // The CPU threads beside the GPUs take the nonce slots after theirs.
  uint32_t beside = 0;
  if (cpu_count != 0) {
    const cpu::cpu_options planned = cpu_options(c, cpu_count, static_cast<uint32_t>(c.gpu_list.size()));
    std::string note;
    beside = cpu::resolve_thread_count(planned, cpu::read_topology_or_guess(planned), note);
  }
  gpu::backend_options options = gpu_options(c);
  options.nonces.total = static_cast<uint32_t>(c.gpu_list.size()) + beside;
  options.nonces.key = key;
  auto gpus = std::make_unique<gpu::gpu_miner>(options);
  if (!gpus->init_devices()) {
    if (c.gpu_chosen || c.cpu_threads == 0) return nullptr;
    base::printer::inst().print_leveled(base::kInfo, "No GPU to mine on: mining on the CPU");
    return cpu_alone(cpu_count == 0 ? cpu::kAutoThreads : cpu_count);
  }
  threads = c.gpu_list.size();
  if (beside == 0) return gpus;

  cpu::cpu_options with_gpus = cpu_options(c, cpu_count, static_cast<uint32_t>(c.gpu_list.size()));
  with_gpus.nonces.total = options.nonces.total;
  with_gpus.nonces.key = key;
  auto cpus = std::make_unique<cpu::cpu_miner>(with_gpus);
  if (!cpus->init_devices()) return nullptr;
  threads += cpus->planned_threads();
  std::vector<std::unique_ptr<core::backend>> members;
  members.push_back(std::move(gpus));
  members.push_back(std::move(cpus));
  return std::make_unique<core::backend_group>(std::move(members));
}

void keyboard_loop(core::executor& executor) {
  base::enter_key_mode();
  while (base::app_running.load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const int key = base::poll_key();
    switch (key) {
      case 'q': base::app_running.store(false); break;
      case 'r': base::reset_request.store(true); break;
      case 's': executor.post(core::executor_event(core::kPrintReport, core::kPoolNone)); break;
      default: break;  // other keys, upper case included, are ignored
    }
  }
}

}  // namespace

int run_sequence(const startup_result& start) {
  // A pool that drops the connection must only ever be a send error.
  signal(SIGPIPE, SIG_IGN);

  size_t threads = 0;
  const std::unique_ptr<core::backend> miner = open_backend(cfg(), threads);
  if (miner == nullptr) {
    base::discard_pending_key();
    return 0;
  }

  if (cfg().autotune) {
    // The table printed says what was measured; a run that measured
    // nothing still ends normally, as it always has.
    static_cast<void>(miner->autotune(cfg().algorithm));
    return 0;
  }

  if (cfg().benchmark_seconds > 0) {
    core::RunBenchmark(*miner, cfg().benchmark_seconds, cfg().algorithm);
    return 0;
  }

  miner->set_all_failed_handler(no_gpu_left);
  core::executor_settings settings;
  settings.give_up = give_up;
  settings.reply_timeout = std::chrono::seconds(cfg().reply_timeout_s);
  settings.pools = app::pool_list(cfg());
  settings.nicehash = cfg().nicehash;
  settings.algorithm = cfg().algorithm;
  settings.gpu_count = threads;
  settings.max_reconnects = cfg().max_reconnects;
  settings.retry_delay_s = cfg().retry_delay_s;
  settings.primary_retry_s = cfg().primary_retry_s;
  settings.keepalive_s = cfg().keepalive_s;
  std::unique_ptr<crypto::CryptoNight> hasher;
  if (const base::status created = crypto::CryptoNight::create(hasher); !created) {
    base::printer::inst().print_error("%s", created.message().c_str());
    miner->shutdown();
    return 1;
  }
  core::executor executor(*miner, settings, std::move(hasher));
  // The handlers go in before the executor starts: a signal that arrives
  // while its first lines print must already lead to the orderly exit.
  install_signal_handlers();
  executor.start();

  if (cfg().max_reconnects != 100) {
    base::printer::inst().print_leveled(base::kInfo, "Setting max pool connection attempts to %u",
                                  static_cast<unsigned>(cfg().max_reconnects));
  }

  std::unique_ptr<network::RemoteAccessServer> server;
  if (start.remote_access) {
    // The address as it is bound: an IPv6 one in brackets before the port.
    const bool ipv6 = start.remote_host.find(':') != std::string::npos;
    const std::string host = ipv6 ? "[" + start.remote_host + "]" : start.remote_host;
    const auto announce = [&host](unsigned port) {
      base::printer::inst().print_leveled(base::kInfo, "Starting remote access server on %s:%u", host.c_str(),
                                          port);
    };
    // Port 0 picks a free one: the line names the port it got.
    if (start.remote_port != 0) announce(start.remote_port);
    network::listen_settings settings;
    settings.address = boost::asio::ip::make_address(start.remote_host);
    settings.port = network::listen_port(start.remote_port);
    server = std::make_unique<network::RemoteAccessServer>(executor, settings, start.remote_token);
    if (start.remote_port == 0) announce(server->port());
  }

  keyboard_loop(executor);

  executor.begin_exit();
  base::notify_stopping();
  base::printer::inst().print_plain("quitting...");
  executor.stop();
  miner->shutdown();
  server.reset();
  base::printer::inst().print_plain("done.");
  base::restore_terminal();
  return 0;
}

}  // namespace app
