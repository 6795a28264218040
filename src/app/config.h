// The process-wide configuration record. Written only during start-up,
// before any other thread exists; read-only (and lock-free) afterwards.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/pool_options.h"
#include "crypto/fingerprint.h"

namespace app {

// One pool of the priority list. The first one is also the config's
// pool_address, user and password.
using pool_config = core::pool_options;

// --cpu-threads values beside the counts.
constexpr int32_t kCpuThreadsNotGiven = -2;
constexpr int32_t kCpuThreadsAuto = -1;

struct config {
  int32_t platform_index = -1;            // --opencl, -1 = auto detect
  std::vector<uint32_t> gpu_list{0};      // --gpu
  std::string pool_address;               // --pool, host:port
  std::string user;                       // --user
  std::string password;                   // --password
  std::string intensity_text = "-1";      // --intensity
  bool nicehash = true;                   // cleared by --nonicehash / 24-GPU rule
  int32_t algorithm = -1;                 // --algo, -1 = auto detect
  std::string log_path;                   // --log
  bool build_kernel = false;              // --buildkernel
  bool force_compute = false;             // --forcecompute
  bool max_mem = false;                   // --maxmem
  bool fast_job_switch = false;           // --fastjobswitch
  bool rate_watchdog = false;             // --ratewatchdog
  int32_t max_reconnects = 100;           // --reconnects, 0 = for ever
  int32_t reply_timeout_s = 20;           // no option
  uint32_t retry_delay_s = 20;            // no option
  int32_t num_queues = 0;                 // --xnumqueues, 0 = no override
  int32_t group_size = 0;                 // --xgroupsize, 0 = no override

  // Linux extensions (hidden switches).
  bool any_device = false;                // --anydevice
  bool no_self_test = false;              // --noselftest
  int32_t benchmark_seconds = 0;          // --benchmark, 0 = off
  // --pool given once or more, in priority order, each with its user,
  // password and --tls-fingerprint. Empty when no pool is configured.
  std::vector<pool_config> pools;
  int32_t primary_retry_s = 60;           // --primary-retry: higher pools tried again
  int32_t keepalive_s = 60;               // --keepalive: idle seconds before a keep-alive, 0 = off
  bool autotune = false;                  // --autotune

  // Tuning (hidden options; benchmarks and tests shorten or pin with them).
  double autotune_seconds = 0;            // --autotune-seconds, 0 = the backend's own
  int32_t cn_r_context_builds = 64;       // --cn-r-context-builds, 0 = never renew
  int32_t autotune_candidates = 0;        // --autotune-candidates per GPU, 0 = all
  bool cpu_huge_pages = true;             // --cpu-huge-pages on|off
  int32_t cpu_ways = 0;                   // --cpu-ways 1-4, 0 = chosen per algorithm

  // Running as a service.
  std::string config_path;                // --config FILE, empty = none
  double temp_limit_c = 0;                // --temp-limit, 0 = off
  double temp_resume_c = 0;               // --temp-resume (limit - 10 unless given)

  // The CPU backend.
  int32_t cpu_threads = kCpuThreadsNotGiven;  // --cpu-threads: kCpuThreadsAuto, 0 = off, or a count
  bool gpu_chosen = false;                // --gpu, --opencl or --anydevice given
};

// The pool list to mine: `pools`, or when none is configured (tests, tools)
// the single pool of pool_address, user and password.
std::vector<pool_config> pool_list(const config& c);

// The one configuration of the process, created with its defaults on first
// access (the entry point accesses it first).
config& cfg();

// Reads the --gpu text: signed decimals, each optionally followed by one
// ',' (leading white space skipped); stops at the first failed read. An
// empty text keeps the list as it is.
void parse_gpu_list(const std::string& text, std::vector<uint32_t>& gpu_list);

}  // namespace app
