#include "app/run_sequence.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

#include "app/config.h"
#include "base/console.h"
#include "base/printer.h"
#include "base/run_flags.h"
#include "base/service_notify.h"
#include "core/backend.h"
#include "core/benchmark.h"
#include "core/executor.h"
#include "gpu/mine_thread.h"
#include "remote/remote_access_server.h"

namespace app {
namespace {

std::atomic<int> signals_caught{0};

// SIGINT and SIGTERM: announce, then let the keyboard loop run the orderly
// exit. A second one while that exit is under way ends the process at once.
void on_stop_signal(int number) {
  if (signals_caught.fetch_add(1) > 0) {
    base::restore_terminal();
    _exit(0);
  }
  char text[32];
  int length = snprintf(text, sizeof(text), "Caught signal %d\n", number);
  if (length > 0) {
    ssize_t ignored = write(STDOUT_FILENO, text, static_cast<size_t>(length));
    (void)ignored;
  }
  base::app_running.store(false);
}

void install_signal_handlers() {
  struct sigaction action = {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

// The pool cannot be reached: end the process at once, as the user asked
// for a limited number of attempts.
void give_up() {
  std::fflush(stdout);
  base::restore_terminal();
  std::_Exit(0);
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
  return options;
}

// The backend the program mines with; another compute API is one more
// case here.
std::unique_ptr<core::backend> make_backend(const config& c) {
  return std::make_unique<gpu::gpu_miner>(gpu_options(c));
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

  const std::unique_ptr<core::backend> miner = make_backend(cfg());
  if (!miner->init_devices()) {
    base::discard_pending_key();
    return 0;
  }

  if (cfg().autotune) {
    miner->autotune(cfg().algorithm);
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
  settings.gpu_count = cfg().gpu_list.size();
  settings.max_reconnects = cfg().max_reconnects;
  settings.retry_delay_s = cfg().retry_delay_s;
  settings.primary_retry_s = cfg().primary_retry_s;
  settings.keepalive_s = cfg().keepalive_s;
  core::executor executor(*miner, settings);
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
    base::printer::inst().print_leveled(base::kInfo, "Starting remote access server on %s:%u", host.c_str(),
                                  start.remote_port);
    network::listen_settings settings;
    settings.address = boost::asio::ip::make_address(start.remote_host);
    settings.port = network::listen_port(start.remote_port);
    server = std::make_unique<network::RemoteAccessServer>(executor, settings, start.remote_token);
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
