// Speed of jpsock::process_line on a typical job notification (76-byte
// blob), and the heap allocations it makes per line once warmed up.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "support/counting_allocator.h"
#include "support/pool_event_queue.h"
#include "net/jpsock.h"


namespace {

std::string typical_notification() {
  // 76-byte blob: major/minor version, timestamp, previous block, nonce,
  // tree root and transaction count, as pools send it.
  std::string blob;
  for (int i = 0; i < 76; ++i) {
    static constexpr char kDigits[] = "0123456789abcdef";
    const int byte = (i * 37 + 11) & 0xff;
    blob += kDigits[byte >> 4];
    blob += kDigits[byte & 15];
  }
  return "{\"jsonrpc\":\"2.0\",\"method\":\"job\",\"params\":{\"blob\":\"" + blob +
         "\",\"job_id\":\"Nm5Bc0pDb2hMZzNmWUZDbHp6ZkRZbHlL\",\"target\":\"b88d0600\"}}\n";
}

void BM_ProcessLineJob(benchmark::State& state) {
  support::pool_event_queue events;
  net::jpsock sock(core::kPoolUser, events);
  const std::string notification = typical_notification();
  char line[1024];
  // Warm-up line: anything set up once is not counted.
  std::memcpy(line, notification.data(), notification.size());
  if (!sock.process_line(line, notification.size())) state.SkipWithError("line rejected");
  events.take_for(std::chrono::seconds(0));

  // Counted around our own calls only, not the benchmark library's.
  uint64_t counted = 0;
  for (auto _ : state) {
    const uint64_t before = support::heap_allocations.load(std::memory_order_relaxed);
    std::memcpy(line, notification.data(), notification.size());
    bool accepted = sock.process_line(line, notification.size());
    benchmark::DoNotOptimize(accepted);
    auto event = events.take_for(std::chrono::seconds(0));
    benchmark::DoNotOptimize(event);
    counted += support::heap_allocations.load(std::memory_order_relaxed) - before;
  }
  const double lines = static_cast<double>(state.iterations());
  state.counters["lines_per_s"] = benchmark::Counter(lines, benchmark::Counter::kIsRate);
  state.counters["allocs_per_line"] =
      static_cast<double>(counted) / (lines > 0 ? lines : 1);
  state.SetBytesProcessed(static_cast<int64_t>(lines * static_cast<double>(notification.size())));
}
BENCHMARK(BM_ProcessLineJob);

}  // namespace

BENCHMARK_MAIN();
