// Offline benchmark: every device of a backend mines a synthetic job of
// each requested algorithm through the real mining threads for a fixed
// time; the hash rates per device and in total are printed as a table and
// as one line of JSON. Main thread, after the backend's init_devices.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "core/backend.h"
#include "core/event_queue.h"

namespace core {

struct benchmark_gpu_result {
  uint32_t device = 0;       // the backend's device number
  double hash_rate = 0.0;    // H/s
  bool self_test_failed = false;
  double thread_cpu_share = 0.0;  // of one core, mining thread only
};

struct benchmark_result {
  int32_t algorithm = 0;
  std::vector<benchmark_gpu_result> gpus;
  // Rows whose hash depends on the block height: the total rate while the
  // height changes every height_change_seconds (0: not measured).
  double height_change_seconds = 0.0;
  double height_change_rate = 0.0;
  double total() const;
};

// Publishes a synthetic job of the algorithm to a started backend and
// measures it: the warm-up (self-test, first round) of every device, then
// at least `seconds` and one round per device. warm_up_reports reports per
// device are left out before the measured time starts (more than the first
// one lets a two-queue pipeline settle). Nothing is printed.
benchmark_result MeasureAlgorithm(backend& miner, event_queue& events, int32_t algorithm,
                                  double seconds, std::mt19937& random, int warm_up_reports = 1);

// Starts the backend, measures each algorithm (all of them for -1) for
// `seconds`, stops it, prints the results and returns them.
std::vector<benchmark_result> RunBenchmark(backend& miner, double seconds, int32_t algorithm);

// The one-line JSON form of the results; a device that did not fail shows
// "skipped" when self_test_skipped, else "passed".
std::string BenchmarkJson(double seconds, const std::vector<benchmark_result>& results,
                          bool self_test_skipped);

}  // namespace core
