// One-thread hash rates of every algorithm id and of the building blocks.
// Run briefly: e.g. crypto_bench --benchmark_min_time=2s.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "crypto/algorithm.h"
#include "crypto/blake256.h"
#include "crypto/cryptonight.h"
#include "crypto/cryptonight_ways.h"
#include "crypto/work_area.h"
#include "crypto/final_hash.h"
#include "crypto/keccak.h"
#include "crypto/variant_rules.h"

namespace {

// A 76-byte blob with a fresh nonce per hash, as the executor hashes them.
void BM_CryptoNight(benchmark::State& state) {
  const auto id = static_cast<int32_t>(state.range(0));
  std::unique_ptr<crypto::CryptoNight> cn;
  if (const base::status created = crypto::CryptoNight::create(cn); !created) {
    state.SkipWithError(created.message().c_str());
    return;
  }
  std::vector<uint8_t> blob(76);
  for (size_t i = 0; i < blob.size(); ++i) blob[i] = static_cast<uint8_t>(i * 29 + 7);
  uint8_t out[32];
  uint32_t nonce = 0;
  for (auto _ : state) {
    for (int i = 0; i < 4; ++i) blob[39 + i] = static_cast<uint8_t>(nonce >> (8 * i));
    ++nonce;
    cn->hash(id, blob.data(), blob.size(), out);
    benchmark::DoNotOptimize(out);
  }
  state.SetLabel(crypto::algorithm_name(id));
  state.counters["H/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_CryptoNight)
    ->DenseRange(0, crypto::kAlgoCount - 1)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1.0);

void BM_KeccakAbsorb76(benchmark::State& state) {
  std::vector<uint8_t> blob(76, 0x5A);
  uint64_t lanes[25];
  for (auto _ : state) {
    crypto::keccak1600(blob.data(), blob.size(), lanes);
    benchmark::DoNotOptimize(lanes);
  }
}
BENCHMARK(BM_KeccakAbsorb76);

void BM_FinalHash(benchmark::State& state) {
  uint8_t input[200];
  for (int i = 0; i < 200; ++i) input[i] = static_cast<uint8_t>(i);
  uint8_t out[32];
  const auto which = static_cast<size_t>(state.range(0));
  for (auto _ : state) {
    crypto::kFinalHashes[which](input, sizeof(input), out);
    benchmark::DoNotOptimize(out);
  }
  static const char* const kNames[4] = {"BLAKE-256", "Groestl-256", "JH-256", "Skein-512-256"};
  state.SetLabel(kNames[which]);
}
BENCHMARK(BM_FinalHash)->DenseRange(0, 3);

void BM_V8Sqrt(benchmark::State& state) {
  uint64_t input = 0x0123456789ABCDEFULL;
  for (auto _ : state) {
    input = input * 6364136223846793005ULL + 1442695040888963407ULL;
    benchmark::DoNotOptimize(crypto::v8_sqrt(input));
  }
}
BENCHMARK(BM_V8Sqrt);

// The miners' interleaved hash: one thread, `ways` hashes per call
// (range 1), for the rows the CPU backend is measured on (range 0).
void BM_HashWays(benchmark::State& state) {
  const auto id = static_cast<int32_t>(state.range(0));
  const int ways = static_cast<int>(state.range(1));
  uint8_t* areas = crypto::allocate_work_area(crypto::kWayStride * crypto::kMaxWays);
  uint8_t blobs[crypto::kMaxWays][76];
  uint8_t outs[crypto::kMaxWays][32];
  const uint8_t* inputs[crypto::kMaxWays];
  uint8_t* outputs[crypto::kMaxWays];
  for (int w = 0; w < crypto::kMaxWays; ++w) {
    for (int i = 0; i < 76; ++i) blobs[w][i] = static_cast<uint8_t>(i * 29 + 7);
    inputs[w] = blobs[w];
    outputs[w] = outs[w];
  }
  uint32_t nonce = 0;
  for (auto _ : state) {
    for (int w = 0; w < ways; ++w, ++nonce)
      for (int i = 0; i < 4; ++i) blobs[w][39 + i] = static_cast<uint8_t>(nonce >> (8 * i));
    crypto::hash_ways(id, ways, areas, inputs, 76, outputs);
    benchmark::DoNotOptimize(outs);
  }
  crypto::free_work_area(areas);
  state.SetLabel(crypto::algorithm_name(id));
  state.counters["H/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * ways, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_HashWays)
    ->ArgsProduct({{0, 2, 4, 10}, {1, 2, 3, 4}})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
