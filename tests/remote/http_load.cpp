// Load and fault measurements for the remote access server over loopback:
// sequential request latency, C clients requesting at the same time, a
// burst of concurrent connections, silent clients and a slow-loris client
// against an ordinary one. Prints numbers; exits non-zero when a response is
// missing, incomplete or wrong.
//
//   orbeck_http_load [--requests N] [--concurrent C] [--silent S]
//                    [--timeout-ms T] [--loris-interval-ms I]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "base/printer.h"
#include "loopback_client.h"
#include "remote/remote_access_server.h"

namespace {

using clock_type = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A statistics document of realistic size: four devices.
std::string sample_document() {
  std::string doc =
      "{\n\t\"total_hash_rate\": 7812000,\n\t\"total_hash_rate_avg\": 7790500,\n"
      "\t\"pool\": {\n\t\t\"server\": \"127.0.0.1:3333\",\n\t\t\"status\": \"connected\",\n"
      "\t\t\"online\": 86400,\n\t\t\"offline\": 12,\n\t\t\"reconnects\": 1,\n"
      "\t\t\"time_connected\": \"2026-12-08 14:00:00\",\n"
      "\t\t\"time_disconnected\": \"2026-12-08 13:59:48\"\n\t},\n"
      "\t\"job\": {\n\t\t\"job_number\": 1234,\n\t\t\"difficulty\": 120001,\n"
      "\t\t\"running\": 17,\n\t\t\"job_time_avg\": 31.25\n\t},\n"
      "\t\"shares\": {\n\t\t\"num_accepted\": 4321,\n\t\t\"num_rejected\": 2,\n"
      "\t\t\"num_invalid\": 0,\n\t\t\"num_network_fail\": 1,\n\t\t\"num_outdated\": 9,\n"
      "\t\t\"search_time_avg\": 19.87\n\t},\n\t\"devices\": [";
  for (int i = 0; i < 4; ++i) {
    doc += i == 0 ? "\n" : ",\n";
    doc += "\t{\n\t\t\"device\": \"GPU" + std::to_string(i) +
           "\",\n\t\t\"device_id\": " + std::to_string(i) +
           ",\n\t\t\"hash_rate\": 1953000,\n\t\t\"hash_rate_avg\": 1947625,\n"
           "\t\t\"gpu_temperature\": 64,\n\t\t\"gpu_fan_rpm\": 2150\n\t}";
  }
  doc += "\n\t]\n}\n";
  return doc;
}

class fixed_stats : public network::StatsSource {
 public:
  std::string stats_json() const override { return document_; }
  std::string metrics_text() const override { return "up 1\n"; }
  std::string document_ = sample_document();
};

double ms_of(clock_type::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

double percentile(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) return 0;
  size_t index = static_cast<size_t>(p / 100.0 * static_cast<double>(sorted.size() - 1) + 0.5);
  return sorted[std::min(index, sorted.size() - 1)];
}

long option(int argc, char** argv, const char* name, long fallback) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], name) == 0) return std::strtol(argv[i + 1], nullptr, 10);
  }
  return fallback;
}

const char kRequest[] = "GET /stats.json HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      std::printf(
          "usage: %s [--requests N] [--concurrent C] [--silent S] [--timeout-ms T] "
          "[--loris-interval-ms I]\n",
          argv[0]);
      return 0;
    }
  }
  const long requests = std::clamp(option(argc, argv, "--requests", 10000), 1L, 1000000L);
  const long concurrent = std::clamp(option(argc, argv, "--concurrent", 50), 1L, 1000L);
  const long silent = std::clamp(option(argc, argv, "--silent", 10), 0L, 1000L);
  const auto timeout =
      std::chrono::milliseconds(std::clamp(option(argc, argv, "--timeout-ms", 5000), 100L, 60000L));
  const auto loris_interval = std::chrono::milliseconds(
      std::clamp(option(argc, argv, "--loris-interval-ms", 500), 10L, 10000L));
  const auto client_limit = timeout * 4 + 10s;  // no client may wait longer

  // Server messages (time-outs) are counted, not shown.
  FILE* console = std::tmpfile();
  base::printer::inst().set_console(console, false);

  fixed_stats stats;
  network::RemoteAccessServer server(stats, 0, timeout);
  if (!server.running()) {
    std::fprintf(stderr, "server did not start\n");
    return 1;
  }
  const uint16_t port = server.port();
  network::response_record expected_record;
  expected_record.set_status(network::kStatusOk);
  expected_record.headers.insert_or_assign("Access-Control-Allow-Origin", std::string("*"));
  expected_record.body = stats.document_;
  const std::string expected = network::to_text(expected_record);
  int failures = 0;

  // 1. Sequential requests, one connection each.
  {
    std::vector<double> latencies;
    latencies.reserve(static_cast<size_t>(requests));
    long wrong = 0;
    const auto start = clock_type::now();
    for (long i = 0; i < requests; ++i) {
      const auto t0 = clock_type::now();
      bool closed = false;
      std::string reply = remote_test::exchange(port, kRequest, client_limit, &closed);
      latencies.push_back(ms_of(clock_type::now() - t0));
      if (!closed || reply != expected) ++wrong;
    }
    const double seconds = ms_of(clock_type::now() - start) / 1000.0;
    std::sort(latencies.begin(), latencies.end());
    std::printf(
        "sequential: %ld requests, %ld wrong or incomplete, %.0f req/s, response %zu bytes\n",
        requests, wrong, static_cast<double>(requests) / seconds, expected.size());
    std::printf("  latency ms: p50 %.3f  p90 %.3f  p99 %.3f  p99.9 %.3f  max %.3f\n",
                percentile(latencies, 50), percentile(latencies, 90), percentile(latencies, 99),
                percentile(latencies, 99.9), latencies.back());
    if (wrong != 0) ++failures;
  }

  // 2. C clients at once, each sending its share of the requests one after
  // another on fresh connections.
  {
    const long per_client = std::max(1L, requests / concurrent);
    std::vector<std::vector<double>> latencies(static_cast<size_t>(concurrent));
    std::atomic<long> wrong{0};
    std::latch ready(concurrent + 1);
    std::vector<std::thread> threads;
    for (long i = 0; i < concurrent; ++i) {
      threads.emplace_back([&, i] {
        auto& mine = latencies[static_cast<size_t>(i)];
        mine.reserve(static_cast<size_t>(per_client));
        ready.arrive_and_wait();
        for (long r = 0; r < per_client; ++r) {
          const auto t0 = clock_type::now();
          bool closed = false;
          std::string reply = remote_test::exchange(port, kRequest, client_limit, &closed);
          mine.push_back(ms_of(clock_type::now() - t0));
          if (!closed || reply != expected) wrong.fetch_add(1);
        }
      });
    }
    ready.arrive_and_wait();
    const auto start = clock_type::now();
    for (auto& t : threads) t.join();
    const double seconds = ms_of(clock_type::now() - start) / 1000.0;
    std::vector<double> all;
    for (const auto& mine : latencies) all.insert(all.end(), mine.begin(), mine.end());
    std::sort(all.begin(), all.end());
    std::printf("%ld concurrent clients: %zu requests, %ld wrong or incomplete, %.0f req/s\n",
                concurrent, all.size(), wrong.load(), static_cast<double>(all.size()) / seconds);
    std::printf("  latency ms: p50 %.3f  p90 %.3f  p99 %.3f  p99.9 %.3f  max %.3f\n",
                percentile(all, 50), percentile(all, 90), percentile(all, 99),
                percentile(all, 99.9), all.back());
    if (wrong.load() != 0) ++failures;
  }

  // 3. A burst of connections: all connect, then all send at once.
  {
    std::vector<double> completion(static_cast<size_t>(concurrent), -1);
    std::atomic<long> wrong{0};
    std::latch connected(concurrent);
    std::vector<std::thread> threads;
    const auto start = clock_type::now();
    for (long i = 0; i < concurrent; ++i) {
      threads.emplace_back([&, i] {
        remote_test::loopback_client client;
        bool ok = client.connect(port, client_limit);
        connected.arrive_and_wait();
        std::string reply;
        ok = ok && client.send(kRequest) && client.read_until_close(reply, client_limit);
        completion[static_cast<size_t>(i)] = ms_of(clock_type::now() - start);
        if (!ok || reply != expected) wrong.fetch_add(1);
      });
    }
    for (auto& t : threads) t.join();
    std::sort(completion.begin(), completion.end());
    std::printf(
        "concurrent: %ld connections, %ld wrong or unanswered, all done after %.3f ms "
        "(median %.3f ms)\n",
        concurrent, wrong.load(), completion.back(), percentile(completion, 50));
    if (wrong.load() != 0) ++failures;
  }

  // 4. Silent clients: each sends half a request and waits; an ordinary
  // request must not wait for their time-outs.
  if (silent > 0) {
    const uint64_t accepted_before = server.accepted_count();
    std::vector<remote_test::loopback_client> holders(static_cast<size_t>(silent));
    long held = 0;
    for (auto& holder : holders) {
      if (holder.connect(port, client_limit) && holder.send("GET /stats.json HTTP/1.1\r\nHo")) {
        ++held;
      }
    }
    // At least the first silent client has been taken by the server.
    const auto wait_start = clock_type::now();
    while (server.accepted_count() == accepted_before && clock_type::now() - wait_start < 10s) {
      std::this_thread::sleep_for(1ms);
    }
    const auto t0 = clock_type::now();
    bool closed = false;
    std::string reply = remote_test::exchange(port, kRequest, client_limit, &closed);
    const double waited = ms_of(clock_type::now() - t0);
    const bool ok = closed && reply == expected;
    std::printf("%ld silent clients (time-out %lld ms): other client answered after %.1f ms%s\n",
                held, static_cast<long long>(timeout.count()), waited, ok ? "" : " -- FAILED");
    if (!ok) ++failures;
  }

  // 5. Slow loris: one byte per interval, never completing the header block.
  {
    const uint64_t accepted_before = server.accepted_count();
    std::atomic<bool> dropped{false};
    std::atomic<double> held_ms{0};
    std::thread loris([&] {
      remote_test::loopback_client client;
      if (!client.connect(port, client_limit)) return;
      const std::string trickle = "GET /stats.json HTTP/1.1\r\nX-Slow: aaaaaaaaaaaaaaaaaaaaaaaaaaa";
      const auto t0 = clock_type::now();
      for (char c : trickle) {
        if (!client.send(std::string(1, c))) break;
        // The server closes the connection after its time-out; notice it.
        std::string rest;
        if (client.read_until_close(rest, loris_interval)) {
          dropped.store(true);
          break;
        }
        if (clock_type::now() - t0 > client_limit) break;
      }
      held_ms.store(ms_of(clock_type::now() - t0));
    });
    // Ask only once the server holds the loris connection.
    const auto wait_start = clock_type::now();
    while (server.accepted_count() == accepted_before && clock_type::now() - wait_start < 10s) {
      std::this_thread::sleep_for(1ms);
    }
    const auto t0 = clock_type::now();
    bool closed = false;
    std::string reply = remote_test::exchange(port, kRequest, client_limit, &closed);
    const double waited = ms_of(clock_type::now() - t0);
    loris.join();
    const bool ok = closed && reply == expected && dropped.load();
    std::printf(
        "slow loris (1 byte per %lld ms, time-out %lld ms): loris dropped after %.0f ms, "
        "other client answered after %.0f ms%s\n",
        static_cast<long long>(loris_interval.count()), static_cast<long long>(timeout.count()),
        held_ms.load(), waited, ok ? "" : " -- FAILED");
    if (!ok || waited > ms_of(timeout) + 1000) ++failures;
  }

  base::printer::inst().set_console(stdout, false);
  std::fseek(console, 0, SEEK_END);
  std::printf("server console: %ld bytes of messages\n", std::ftell(console));
  std::fclose(console);
  return failures == 0 ? 0 : 1;
}
