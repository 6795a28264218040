// Hash rate of the kernels per algorithm id on the first OpenCL device, with
// the time of each launch, the hashes per process CPU second (PoCL runs its
// work in this process, so this survives a machine shared with other work)
// and the single-thread CPU CryptoNight beside it. Not a test: it prints.
// Usage: gpu_kernel_bench [hashes per round (default 16)] [rounds (default 2)] [ids...]
// ORBECK_KERNEL_SOURCE=<file> times that source instead of the embedded one.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

#include "crypto/algorithm.h"
#include "crypto/cryptonight.h"
#include "kernel_programs.h"
#include "support/cpu_hash.h"

namespace {

double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kernel_test;
  const size_t hashes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 16;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 2;
  std::vector<int> ids;
  for (int i = 3; i < argc; ++i) ids.push_back(std::atoi(argv[i]));
  if (ids.empty()) {
    for (int id = 0; id < crypto::kAlgoCount; ++id) ids.push_back(id);
  }
  if (!Env().ok()) {
    std::fprintf(stderr, "%s\n", Env().error().c_str());
    return 1;
  }
  std::string log;
  const auto build_start = std::chrono::steady_clock::now();
  cl_program program = nullptr;
  if (const char* path = std::getenv("ORBECK_KERNEL_SOURCE"); path != nullptr && path[0] != 0) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    program = Env().Build(text.str(), &log, nullptr);
  } else {
    program = MinerProgram(&log);
  }
  if (program == nullptr) {
    std::fprintf(stderr, "%s\n", log.c_str());
    return 1;
  }
  std::printf("program build: %.1f s (front end; PoCL compiles each kernel at first launch)\n",
              Seconds(build_start));
  std::mt19937 random(5);
  std::vector<uint8_t> blob(76);
  for (uint8_t& byte : blob) byte = static_cast<uint8_t>(random());
  const auto cpu = support::cpu_hash();
  std::printf("id  GPU H/s  H/cpu-s  CPU s per hash: prepare  main  collect  finals   CPU H/cpu-s  first round s\n");
  for (int id : ids) {
    RoundRunner runner(Env(), program, hashes, ChoiceFor(id).scratchpad_bytes);
    if (!runner.error().empty()) {
      std::fprintf(stderr, "%s\n", runner.error().c_str());
      return 1;
    }
    // The first round includes PoCL's per-kernel code generation.
    const auto first_start = std::chrono::steady_clock::now();
    runner.Round(id, blob, 0x100000, 0);  // non-zero: PoCL specialises offset 0
    const double first = Seconds(first_start);
    runner.set_timed(true);
    RoundRunner::LaunchTimes sum;
    const double cpu_start = ProcessCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    for (int r = 0; r < rounds; ++r) {
      runner.Round(id, blob, static_cast<uint32_t>((r + 1) * hashes), 0);
      sum.prepare += runner.last_cpu_times().prepare;
      sum.main += runner.last_cpu_times().main;
      sum.collect += runner.last_cpu_times().collect;
      sum.finals += runner.last_cpu_times().finals;
    }
    const double wall = Seconds(start);
    const double cpu_used = ProcessCpuSeconds() - cpu_start;
    const double total = static_cast<double>(hashes) * rounds;
    const int cpu_hashes = 8;
    uint8_t out[32];
    const double cpu_hash_start = ProcessCpuSeconds();
    for (int i = 0; i < cpu_hashes; ++i) {
      blob[39] = static_cast<uint8_t>(i);
      cpu->hash(id, blob.data(), blob.size(), out);
    }
    const double cpu_rate = cpu_hashes / (ProcessCpuSeconds() - cpu_hash_start);
    std::printf("%2d  %7.1f  %7.1f  %22.4f  %5.4f  %7.4f  %6.4f  %11.1f  %5.1f\n", id,
                total / wall, total / cpu_used, sum.prepare / total, sum.main / total,
                sum.collect / total, sum.finals / total, cpu_rate, first);
    std::fflush(stdout);
  }
  return 0;
}
