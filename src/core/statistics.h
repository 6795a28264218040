// The executor's statistics as one value: everything the console report,
// /stats.json and /metrics show, read once (hash meter, counters, pool
// connections, the backend's sensors and parked GPUs). Each report takes
// one snapshot and renders it, so its figures come from one look at the
// miner. A plain value: take it on any thread, render it anywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/mining_backend.h"

namespace core {

struct statistics_snapshot {
  // One mining thread of the backend.
  struct device {
    std::string name;           // as in the console lines ("GPU1", "CPU0")
    std::string document_name;  // as in /stats.json and /metrics ("GPU0" by list position)
    uint32_t number = 0;        // the backend's device number
    double current_rate = 0;    // H/s of the last closed window
    double average_rate = 0;    // H/s since the start
    device_reading reading;     // sensors and the temperature pause
    std::string error;          // why the backend parked it; empty while it mines
  };
  // One pool of the list.
  struct pool {
    std::string address;
    bool logged_in = false;
    uint32_t accepted = 0, rejected = 0, invalid = 0, network_fail = 0, outdated = 0, lost = 0;
    std::string last_error;
  };
  // The pool connection being mined (or waited for).
  struct connection {
    bool connected = false;
    int64_t login_time = 0;       // 100-ns ticks since 1970
    int64_t disconnect_time = 0;  // 100-ns ticks since 1970
    double online_s = 0;
    double offline_s = 0;
    uint32_t connect_count = 0;
    uint64_t difficulty = 0;  // of the connection's current job
  };

  // Indices up to the larger of the meter's rows and the backend's threads;
  // the rates are rows of the meter, the rest the backend's threads.
  std::vector<device> devices;
  size_t meter_rows = 0;
  size_t thread_count = 0;
  double total_current_rate = 0;  // the meter's sums
  double total_average_rate = 0;

  std::vector<pool> pools;
  size_t active = 0;  // index of the active pool of the list
  connection active_connection;

  uint32_t job_count = 0;   // jobs since the last login
  uint64_t difficulty = 0;  // of the job being mined
  int64_t job_running_s = 0;
  double job_time_avg = 0;

  // Totals over every pool, the donation pool included.
  uint32_t accepted = 0, rejected = 0, invalid = 0, network_fail = 0, outdated = 0, lost = 0;
  double search_time_avg = 0;
};

// The console report (the 's' key).
std::string render_report(const statistics_snapshot& s);
// The statistics document, /stats.json.
std::string render_stats_json(const statistics_snapshot& s);
// The metrics page, /metrics.
std::string render_metrics(const statistics_snapshot& s);

}  // namespace core
