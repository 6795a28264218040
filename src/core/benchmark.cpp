#include "core/benchmark.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <chrono>
#include <cstdio>
#include <random>

#include "base/printer.h"
#include "crypto/algorithm.h"

namespace core {
namespace {

// The longest a GPU may take to set up and self-test an algorithm.
constexpr auto kWarmUpLimit = std::chrono::seconds(300);
// Rows whose hash depends on the block height: the fixed height of the
// first measurement, and the seconds between two heights in the second.
constexpr uint64_t kBenchmarkHeight = 1806260;
constexpr double kHeightChangeSeconds = 5.0;

mining_job synthetic_job(int32_t algorithm, std::mt19937& random) {
  mining_job job;
  job.blob_length = 76;
  for (uint32_t i = 0; i < job.blob_length; ++i) job.blob[i] = static_cast<uint8_t>(random());
  job.blob[0] = 7;
  snprintf(job.job_id, sizeof(job.job_id), "benchmark-%d", algorithm);
  job.target = 0;  // nothing passes: the rounds report no results
  job.pool_id = kPoolNone;
  job.nicehash = false;
  job.idle = false;
  job.algorithm = algorithm;
  job.height = kBenchmarkHeight;
  return job;
}

bool uses_height(int32_t algorithm) {
  const crypto::algorithm_info* info = crypto::find_algorithm(algorithm);
  return info != nullptr && info->loop == crypto::loop_family::random;
}

// Mines `seconds` while a job of the next height is published every
// `interval` seconds, the first at once; the rate over every report made
// for one of these jobs (the switches' cost included). The devices are
// warm: the fixed-height measurement ran before.
double MeasureHeightChanges(backend& miner, event_queue& events, int32_t id, double seconds,
                            double interval, std::mt19937& random) {
  using clock = std::chrono::steady_clock;
  const size_t gpus = miner.thread_count();
  mining_job job = synthetic_job(id, random);
  miner.publish(job);
  const uint64_t first_generation = miner.generation();
  std::vector<uint64_t> hashes(gpus, 0), ms(gpus, 0);
  const auto start = clock::now();
  const auto end = start + std::chrono::duration<double>(seconds);
  auto next_height = start + std::chrono::duration<double>(interval);
  uint64_t height_step = 0;
  while (clock::now() < end) {
    if (clock::now() >= next_height) {
      job = synthetic_job(id, random);
      job.height = kBenchmarkHeight + ++height_step;
      miner.publish(job);
      next_height += std::chrono::duration<double>(interval);
    }
    auto event = events.take_for(std::chrono::milliseconds(50));
    if (!event || event->kind != kHashCount) continue;
    const hash_report& report = std::get<hash_report>(event->payload);
    if (report.thread_index >= gpus || report.generation < first_generation) continue;
    hashes[report.thread_index] += report.hashes;
    ms[report.thread_index] += report.milliseconds;
  }
  double total = 0.0;
  for (size_t i = 0; i < gpus; ++i) {
    if (ms[i] != 0) total += static_cast<double>(hashes[i]) * 1000.0 / static_cast<double>(ms[i]);
  }
  return total;
}

std::string format_rate(double rate) {
  char buffer[32];
  snprintf(buffer, sizeof(buffer), "%.1f", rate);
  return buffer;
}

}  // namespace

double benchmark_result::total() const {
  double sum = 0.0;
  for (const auto& gpu : gpus) sum += gpu.hash_rate;
  return sum;
}

benchmark_result MeasureAlgorithm(backend& miner, event_queue& events, int32_t id,
                                  double seconds, std::mt19937& random, int warm_up_reports) {
  const size_t gpus = miner.thread_count();
  miner.publish(synthetic_job(id, random));
  const uint64_t generation = miner.generation();
  std::vector<uint64_t> hashes(gpus, 0), ms(gpus, 0);
  // Each GPU's first report covers its self-test and set-up: the measured
  // time starts once every GPU has sent it (or refused the algorithm).
  // Reports of the previous algorithm's rounds may still be queued, and a
  // slow self-test sends nothing for a while: only reports made for this
  // job count, or the previous rates would be taken for this one's.
  std::vector<int> warmed(gpus, 0);
  const auto all_warm = [&] {
    for (size_t i = 0; i < gpus; ++i)
      if (warmed[i] < warm_up_reports && !miner.self_test_failed(i)) return false;
    return true;
  };
  const auto warm_up_end = std::chrono::steady_clock::now() + kWarmUpLimit;
  while (!all_warm() && std::chrono::steady_clock::now() < warm_up_end) {
    auto event = events.take_for(std::chrono::milliseconds(100));
    if (event && event->kind == kHashCount) {
      const auto& report = std::get<hash_report>(event->payload);
      if (report.thread_index < gpus && report.generation == generation) ++warmed[report.thread_index];
    }
  }
  // At least `seconds`, and until every mining GPU has reported a round
  // (slow devices may need longer than one round per second).
  const auto start = std::chrono::steady_clock::now();
  const auto end = start + std::chrono::duration<double>(seconds);
  const auto limit = start + std::chrono::duration<double>(seconds) + kWarmUpLimit;
  const auto measured_all = [&] {
    for (size_t i = 0; i < gpus; ++i)
      if (ms[i] == 0 && !miner.self_test_failed(i)) return false;
    return true;
  };
  while (std::chrono::steady_clock::now() < limit &&
         (std::chrono::steady_clock::now() < end || !measured_all())) {
    auto event = events.take_for(std::chrono::milliseconds(100));
    if (!event || event->kind != kHashCount || miner.generation() != generation) continue;
    const hash_report& report = std::get<hash_report>(event->payload);
    if (report.thread_index >= gpus || report.generation != generation) continue;
    hashes[report.thread_index] += report.hashes;
    ms[report.thread_index] += report.milliseconds;
  }
  benchmark_result result;
  result.algorithm = id;
  for (size_t i = 0; i < gpus; ++i) {
    benchmark_gpu_result gpu;
    gpu.device = miner.device_number(i);
    gpu.hash_rate = ms[i] == 0 ? 0.0 : static_cast<double>(hashes[i]) * 1000.0 / static_cast<double>(ms[i]);
    gpu.self_test_failed = miner.self_test_failed(i);
    result.gpus.push_back(gpu);
  }
  return result;
}

std::vector<benchmark_result> RunBenchmark(backend& miner, double seconds, int32_t algorithm) {
  base::printer& out = base::printer::inst();
  std::vector<int32_t> algorithms;
  if (algorithm < 0) {
    for (int32_t id = 0; id < crypto::kAlgoCount; ++id) algorithms.push_back(id);
  } else {
    algorithms.push_back(algorithm);
  }

  event_queue events;
  no_hash_rates rates;  // the watchdog never resets while benchmarking
  mining_job idle;
  idle.idle = true;
  idle.nicehash = true;
  idle.algorithm = algorithms.front();
  miner.start(idle, events, rates);
  const size_t gpus = miner.thread_count();
  std::mt19937 random(12345);

  std::vector<benchmark_result> results;
  for (int32_t id : algorithms) {
    out.print_leveled(base::kEvent, "Benchmark: %s for %.0f s", crypto::algorithm_name(id), seconds);
    results.push_back(MeasureAlgorithm(miner, events, id, seconds, random));
    out.print_leveled(base::kStatus, "Benchmark: %s %s H/s", crypto::algorithm_name(id),
                      format_rate(results.back().total()).c_str());
    if (uses_height(id)) {
      // The same time again with a new height every few seconds: what
      // mining a chain of blocks costs over a fixed height.
      results.back().height_change_seconds = kHeightChangeSeconds;
      results.back().height_change_rate =
          MeasureHeightChanges(miner, events, id, seconds, kHeightChangeSeconds, random);
      out.print_leveled(base::kStatus, "Benchmark: %s %s H/s with a new height every %.0f s",
                        crypto::algorithm_name(id),
                        format_rate(results.back().height_change_rate).c_str(),
                        kHeightChangeSeconds);
    }
  }
  miner.stop();
  // The threads of the last algorithm measured their own CPU time.
  for (size_t i = 0; i < gpus && !results.empty(); ++i)
    results.back().gpus[i].thread_cpu_share = miner.thread_cpu_share(i);

  std::string table = "\nBenchmark results (H/s, " + format_rate(seconds) + " s per algorithm):\n";
  char line[160];
  snprintf(line, sizeof(line), "  %-24s", "algorithm");
  table += line;
  for (size_t i = 0; i < gpus; ++i) {
    snprintf(line, sizeof(line), " %10s", miner.device_name(i).c_str());
    table += line;
  }
  table += "      total\n";
  for (const auto& result : results) {
    snprintf(line, sizeof(line), "  %-24s", crypto::algorithm_name(result.algorithm));
    table += line;
    for (const auto& gpu : result.gpus) {
      snprintf(line, sizeof(line), " %10s", gpu.self_test_failed ? "FAILED" : format_rate(gpu.hash_rate).c_str());
      table += line;
    }
    snprintf(line, sizeof(line), " %10s\n", format_rate(result.total()).c_str());
    table += line;
  }
  for (size_t i = 0; i < gpus && !results.empty(); ++i) {
    snprintf(line, sizeof(line), "  %s mining thread: %.1f%% of one CPU core (%s)\n",
             miner.device_name(i).c_str(), results.back().gpus[i].thread_cpu_share * 100.0,
             crypto::algorithm_name(results.back().algorithm));
    table += line;
  }
  table += "\n" + BenchmarkJson(seconds, results, !miner.self_test_enabled()) + "\n";
  out.print_plain(table);
  return results;
}

std::string BenchmarkJson(double seconds, const std::vector<benchmark_result>& results,
                          bool self_test_skipped) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> json(buffer);
  // Rates keep one decimal, as in the table, so they go in as raw numbers.
  const auto rate = [&json](double value) {
    const std::string text = format_rate(value);
    json.RawValue(text.c_str(), text.size(), rapidjson::kNumberType);
  };
  json.StartObject();
  json.Key("benchmark_seconds");
  rate(seconds);
  json.Key("results");
  json.StartArray();
  for (const benchmark_result& result : results) {
    json.StartObject();
    json.Key("algorithm");
    json.Int(result.algorithm);
    json.Key("name");
    json.String(crypto::algorithm_name(result.algorithm));
    json.Key("total_hash_rate");
    rate(result.total());
    if (result.height_change_seconds > 0) {
      json.Key("height_change_seconds");
      rate(result.height_change_seconds);
      json.Key("height_change_hash_rate");
      rate(result.height_change_rate);
    }
    json.Key("gpus");
    json.StartArray();
    for (const benchmark_gpu_result& gpu : result.gpus) {
      json.StartObject();
      json.Key("gpu");
      json.Uint(gpu.device);
      json.Key("hash_rate");
      rate(gpu.hash_rate);
      json.Key("self_test");
      json.String(gpu.self_test_failed ? "failed" : self_test_skipped ? "skipped" : "passed");
      json.EndObject();
    }
    json.EndArray();
    json.EndObject();
  }
  json.EndArray();
  json.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

}  // namespace core
