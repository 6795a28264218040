// Hash rate of search rounds on the first OpenCL device (--anydevice), side
// by side with the single-thread CPU CryptoNight of the same algorithm, the
// CPU time the waiting thread spends, a per-kernel time breakdown, kernel
// build / cached start times, and the wait of a cn/r job of a new height
// with and without its program built ahead, and the memory over many new
// height groups. Knobs: ORBECK_BENCH_GROUPSIZE
// (hashes per round, default: the device's automatic level),
// ORBECK_BENCH_ROUNDS (default 3), ORBECK_BENCH_HEIGHT_BUILDS (groups built
// by the memory benchmarks, default 40).
#include <benchmark/benchmark.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "base/printer.h"
#include "crypto/algorithm.h"
#include "crypto/cryptonight.h"
#include "gpu/discovery.h"
#include "gpu/gpu_context.h"
#include "gpu/launch.h"
#include "gpu/height_programs.h"
#include "gpu/program.h"
#include "gpu/random_source.h"
#include "gpu/reset.h"

namespace {

std::map<int32_t, double> g_cpu_rate;
std::map<int32_t, double> g_gpu_rate;
// Hashes per CPU second (all threads of the process): the measure that
// survives a machine shared with other work.
std::map<int32_t, double> g_cpu_efficiency;
std::map<int32_t, double> g_gpu_efficiency;

int EnvInt(const char* name, int fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && text[0] != '\0' ? std::atoi(text) : fallback;
}

double CpuSeconds(int who) {
  rusage usage{};
  getrusage(who, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

// Root of the program cache for InitFirstDevice; empty: the user's cache.
std::string g_cache_root;
// The GPU record the benchmarks drive.
std::vector<gpu::GpuContext> g_gpus;

void Release() {
  for (gpu::GpuContext& ctx : g_gpus) gpu::ReleaseGpu(ctx);
  g_gpus.clear();
}

// Initialises GPU 0 of the auto-detected platform; false with a message.
bool InitFirstDevice(int32_t algorithm, benchmark::State& state) {
  gpu::device_options options;
  options.any_device = true;
  options.group_size = EnvInt("ORBECK_BENCH_GROUPSIZE", 0);
  options.num_queues = 1;
  options.cache_root = g_cache_root;
  gpu::SelectedPlatform selected;
  if (const base::status found = gpu::SelectPlatform(-1, options.any_device, selected); !found) {
    state.SkipWithError(found.message().c_str());
    return false;
  }
  const cl_platform_id platform = selected.id;
  g_gpus.clear();
  g_gpus.resize(1);
  g_gpus[0].platform = platform;
  if (!gpu::InitOpenCL(options, g_gpus.data(), 1, crypto::scratchpad_size(algorithm),
                       false)) {
    state.SkipWithError("GPU initialisation failed");
    return false;
  }
  return true;
}

std::vector<uint8_t> Blob() {
  std::mt19937 random(42);
  std::vector<uint8_t> blob(76);
  for (uint8_t& byte : blob) byte = static_cast<uint8_t>(random());
  return blob;
}

// False, with the benchmark stopped on the error, when a step failed.
bool Succeeded(const base::status& status, benchmark::State& state) {
  if (!status) state.SkipWithError(status.message().c_str());
  return status.is_ok();
}

void GpuRounds(benchmark::State& state, int32_t algorithm) {
  if (!InitFirstDevice(algorithm, state)) return;
  gpu::GpuContext& ctx = g_gpus[0];
  const std::vector<uint8_t> blob = Blob();
  // A warm-up round, which also gives the wait its first round time.
  if (!Succeeded(gpu::SetGpuJob(ctx, 1, blob.data(), 76, 0x1000, static_cast<uint32_t>(algorithm), 0),
                 state) ||
      !Succeeded(gpu::RunGpuRound(ctx, 0), state) || !Succeeded(gpu::WaitGpuQueue(ctx, 0), state)) {
    Release();
    return;
  }
  double wait_cpu = 0;
  uint64_t hashes = 0;
  const double process_cpu_start = CpuSeconds(RUSAGE_SELF);
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    if (!Succeeded(gpu::RunGpuRound(ctx, 0), state)) break;
    const double before = CpuSeconds(RUSAGE_THREAD);
    if (!Succeeded(gpu::WaitGpuQueue(ctx, 0), state)) break;
    wait_cpu += CpuSeconds(RUSAGE_THREAD) - before;
    hashes += ctx.queues[0].threads;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double process_cpu = CpuSeconds(RUSAGE_SELF) - process_cpu_start;
  g_gpu_rate[algorithm] = static_cast<double>(hashes) / seconds;
  g_gpu_efficiency[algorithm] = static_cast<double>(hashes) / process_cpu;
  state.counters["H/cpu_s"] = g_gpu_efficiency[algorithm];
  state.counters["H/s"] = benchmark::Counter(static_cast<double>(hashes), benchmark::Counter::kIsRate);
  state.counters["N"] = static_cast<double>(ctx.queues[0].threads);
  state.counters["level"] = ctx.intensity;
  state.counters["wait_cpu_%"] = 100.0 * wait_cpu / seconds;
  Release();
}

// Where a round's time goes: the seven launches of RunGpuRound, each
// enqueued alone and finished before the next (milliseconds per round).
void KernelBreakdown(benchmark::State& state, int32_t algorithm) {
  if (!InitFirstDevice(algorithm, state)) return;
  gpu::GpuContext& ctx = g_gpus[0];
  gpu::GpuQueue& q = ctx.queues[0];
  const std::vector<uint8_t> blob = Blob();
  if (!Succeeded(gpu::SetGpuJob(ctx, 1, blob.data(), 76, 0x1000, static_cast<uint32_t>(algorithm), 0),
                 state)) {
    Release();
    return;
  }
  clFinish(q.queue);
  const size_t n = q.threads;
  const size_t offset2[2] = {0, 0}, global2[2] = {n, 8}, local2[2] = {8, 8};
  const size_t offset1 = 0, main_local = gpu::MainLocalSize(static_cast<uint32_t>(algorithm));
  const size_t hash_local = ctx.work_size;
  const char* names[7] = {"prepare", "main", "collect", "blake", "groestl", "jh", "skein"};
  double totals[7] = {};
  static const cl_uint kZero = 0;
  for (auto _ : state) {
    for (cl_mem branch : q.branch_buffers) {
      clEnqueueWriteBuffer(q.queue, branch, CL_TRUE, n * 4, 4, &kZero, 0, nullptr, nullptr);
    }
    for (int k = 0; k < 7; ++k) {
      const auto start = std::chrono::steady_clock::now();
      if (k == 0 || k == 2) {
        clEnqueueNDRangeKernel(q.queue, q.kernels[k == 0 ? q.prepare_kernel : q.collect_kernel], 2,
                               offset2, global2, local2, 0, nullptr, nullptr);
      } else if (k == 1) {
        clEnqueueNDRangeKernel(q.queue, q.kernels[q.main_kernel], 1, &offset1, &n, &main_local, 0,
                               nullptr, nullptr);
      } else {
        clEnqueueNDRangeKernel(q.queue, q.hash_kernels[k - 3], 1, &offset1, &n, &hash_local, 0,
                               nullptr, nullptr);
      }
      clFinish(q.queue);
      totals[k] += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() -
                                                              start).count();
    }
  }
  for (int k = 0; k < 7; ++k) {
    state.counters[std::string(names[k]) + "_ms"] = totals[k] / static_cast<double>(state.iterations());
  }
  Release();
}

void CpuSingleThread(benchmark::State& state, int32_t algorithm) {
  std::unique_ptr<crypto::CryptoNight> cpu;
  if (const base::status created = crypto::CryptoNight::create(cpu); !created) {
    state.SkipWithError(created.message().c_str());
    return;
  }
  std::vector<uint8_t> blob = Blob();
  uint8_t hash[32];
  uint64_t hashes = 0;
  const double process_cpu_start = CpuSeconds(RUSAGE_SELF);
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    blob[39] = static_cast<uint8_t>(hashes);
    cpu->hash(algorithm, blob.data(), blob.size(), hash);
    benchmark::DoNotOptimize(hash);
    ++hashes;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  g_cpu_rate[algorithm] = static_cast<double>(hashes) / seconds;
  g_cpu_efficiency[algorithm] =
      static_cast<double>(hashes) / (CpuSeconds(RUSAGE_SELF) - process_cpu_start);
  state.counters["H/cpu_s"] = g_cpu_efficiency[algorithm];
  state.counters["H/s"] = benchmark::Counter(static_cast<double>(hashes), benchmark::Counter::kIsRate);
}

// cn/r: from a job of a new height (the first of a height group) to its
// first round, with and without the group built ahead. Each iteration takes
// groups no run has built before (pocl's own kernel cache would hide the
// build otherwise). Without: the job finds nothing built and waits for the
// build. With: a job of the group before has asked for the build ahead and
// the block time has passed (the bench waits for the build), so the new
// job finds the kernel ready. job_ms: SetGpuJob, the time before the round
// can be enqueued; round_ms: the round itself.
void NewHeight(benchmark::State& state, bool built_ahead) {
  if (!InitFirstDevice(crypto::kCryptoNightR, state)) return;
  gpu::GpuContext& ctx = g_gpus[0];
  const std::vector<uint8_t> blob = Blob();
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  uint64_t group = 5000000 + static_cast<uint64_t>(
                                 std::chrono::duration_cast<std::chrono::seconds>(now).count() %
                                 1000000) * 8 + (built_ahead ? 4 : 0);
  double job_ms = 0, round_ms = 0;
  const auto ms_since = [](std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since)
        .count();
  };
  for (auto _ : state) {
    state.PauseTiming();
    group += 2;
    const uint64_t height = group * gpu::kRandomHeightsPerGroup;
    if (built_ahead) {
      // The previous block's job, mined for a round; then its block time.
      if (!Succeeded(gpu::SetGpuJob(ctx, 1, blob.data(), 76, 0, crypto::kCryptoNightR, 0,
                                    height - 1),
                     state) ||
          !Succeeded(gpu::RunGpuRound(ctx, 0), state) ||
          !Succeeded(gpu::WaitGpuQueue(ctx, 0), state)) {
        break;
      }
      if (!ctx.heights->WaitBuilt(group, std::chrono::minutes(5))) {
        state.SkipWithError("the group built ahead never finished");
        break;
      }
    }
    state.ResumeTiming();
    const auto start = std::chrono::steady_clock::now();
    if (!Succeeded(gpu::SetGpuJob(ctx, 2, blob.data(), 76, 0, crypto::kCryptoNightR, 0, height),
                   state)) {
      break;
    }
    job_ms += ms_since(start);
    const auto round_start = std::chrono::steady_clock::now();
    if (!Succeeded(gpu::RunGpuRound(ctx, 0), state) ||
        !Succeeded(gpu::WaitGpuQueue(ctx, 0), state)) {
      break;
    }
    round_ms += ms_since(round_start);
  }
  const double iterations = static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
  state.counters["job_ms"] = job_ms / iterations;
  state.counters["round_ms"] = round_ms / iterations;
  state.counters["N"] = static_cast<double>(ctx.queues[0].threads);
  Release();
}

// Resident and anonymous (heap and buffers, no mapped files) memory of the
// process, KiB.
struct process_memory {
  double rss_kib = 0;
  double anon_kib = 0;
};

process_memory ProcessMemory() {
  process_memory memory;
  FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) return memory;
  char line[256];
  while (std::fgets(line, sizeof(line), status) != nullptr) {
    long value = 0;
    if (std::sscanf(line, "VmRSS: %ld", &value) == 1) memory.rss_kib = static_cast<double>(value);
    if (std::sscanf(line, "RssAnon: %ld", &value) == 1) memory.anon_kib = static_cast<double>(value);
  }
  std::fclose(status);
  return memory;
}

// Builds one cn/r group program with the plain OpenCL calls, launches it at
// the two offsets the store warms, and releases it: what the OpenCL runtime
// itself keeps per build, with none of the store's code.
bool PlainGroupBuild(const gpu::GpuContext& ctx, uint64_t group, cl_mem buffer, cl_mem run,
                     cl_command_queue queue) {
  const std::string source = gpu::RandomGroupSource(group) + std::string(gpu::KernelSource(ctx.options));
  const std::string options = gpu::BuildOptions(ctx.work_size, ctx.opencl_c2, ctx.exact_fp32_divide) +
                              " " + gpu::RandomKernelOptions();
  const char* text = source.c_str();
  cl_int status = CL_SUCCESS;
  cl_program program = clCreateProgramWithSource(ctx.context, 1, &text, nullptr, &status);
  if (status != CL_SUCCESS) return false;
  bool ok = clBuildProgram(program, 1, &ctx.device, options.c_str(), nullptr, nullptr) == CL_SUCCESS;
  cl_kernel kernel = ok ? clCreateKernel(program, gpu::RandomKernelName(), &status) : nullptr;
  ok = ok && status == CL_SUCCESS;
  const cl_uint slot = 0;
  for (int i = 0; ok && i < 3; ++i) ok = clSetKernelArg(kernel, i, sizeof(cl_mem), &buffer) == CL_SUCCESS;
  ok = ok && clSetKernelArg(kernel, 3, sizeof(cl_mem), &run) == CL_SUCCESS &&
       clSetKernelArg(kernel, 4, sizeof(slot), &slot) == CL_SUCCESS;
  const size_t local = gpu::MainLocalSize(crypto::kCryptoNightR);
  const size_t global = local * 2;
  for (const size_t offset : {size_t{0}, local * 4096}) {
    ok = ok && clEnqueueNDRangeKernel(queue, kernel, 1, &offset, &global, &local, 0, nullptr,
                                      nullptr) == CL_SUCCESS;
  }
  ok = ok && clFinish(queue) == CL_SUCCESS;
  if (kernel != nullptr) clReleaseKernel(kernel);
  clReleaseProgram(program);
  return ok;
}

// Memory over many cn/r height groups, each new: through the mining path
// (a job per group, its round, the next group built ahead by the store) or
// with the plain OpenCL calls. The counters: the memory after the first
// quarter of the builds (start-up and first rounds settled) and at the end,
// and the growth per build between the two.
void HeightMemory(benchmark::State& state, bool plain) {
  if (!InitFirstDevice(crypto::kCryptoNightR, state)) return;
  gpu::GpuContext& ctx = g_gpus[0];
  const std::vector<uint8_t> blob = Blob();
  const int builds = std::max(EnvInt("ORBECK_BENCH_HEIGHT_BUILDS", 40), 4);
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const uint64_t first = 3000000 + static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::seconds>(now).count() % 1000000) * 64 + (plain ? 32 : 0);
  cl_int status = CL_SUCCESS;
  uint32_t run_flag = 1;
  cl_command_queue queue = clCreateCommandQueue(ctx.context, ctx.device, 0, &status);
  cl_mem buffer = clCreateBuffer(ctx.context, CL_MEM_READ_WRITE, 4096, nullptr, &status);
  cl_mem run = clCreateBuffer(ctx.context, CL_MEM_READ_ONLY | CL_MEM_COPY_HOST_PTR,
                              sizeof(run_flag), &run_flag, &status);
  process_memory settled, end;
  for (auto _ : state) {
    for (int i = 0; i < builds; ++i) {
      const uint64_t group = first + static_cast<uint64_t>(i);
      if (plain) {
        if (!PlainGroupBuild(ctx, group, buffer, run, queue)) {
          state.SkipWithError("a plain build failed");
          break;
        }
#if defined(__GLIBC__)
        malloc_trim(0);  // as the store does after each build
#endif
      } else {
        const uint64_t height = group * gpu::kRandomHeightsPerGroup;
        if (!Succeeded(gpu::SetGpuJob(ctx, 1, blob.data(), 76, 0, crypto::kCryptoNightR, 0, height),
                       state) ||
            !Succeeded(gpu::RunGpuRound(ctx, 0), state) ||
            !Succeeded(gpu::WaitGpuQueue(ctx, 0), state)) {
          break;
        }
        if (!ctx.heights->WaitBuilt(group + 1, std::chrono::minutes(5))) {
          state.SkipWithError("the group built ahead never finished");
          break;
        }
      }
      if (i + 1 == builds / 4) settled = ProcessMemory();
    }
    end = ProcessMemory();
  }
  const double measured = static_cast<double>(builds - builds / 4);
  state.counters["builds"] = builds;
  state.counters["rss_settled_mib"] = settled.rss_kib / 1024;
  state.counters["rss_end_mib"] = end.rss_kib / 1024;
  state.counters["rss_kib_per_build"] = (end.rss_kib - settled.rss_kib) / measured;
  state.counters["anon_kib_per_build"] = (end.anon_kib - settled.anon_kib) / measured;
  if (!plain && ctx.heights != nullptr) state.counters["live"] = static_cast<double>(ctx.heights->live());
  clReleaseMemObject(run);
  clReleaseMemObject(buffer);
  clReleaseCommandQueue(queue);
  Release();
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
  // What the OpenCL runtime hands back with the context.
  state.counters["rss_released_mib"] = ProcessMemory().rss_kib / 1024;
}

// First start on a device (kernel build) and a later start (cache hit),
// each the whole InitOpenCL of one GPU for algorithm 0.
void StartUp(benchmark::State& state, bool cached) {
  const std::string root = std::string("/tmp/orbeck-gpu-bench-cache-") + std::to_string(getpid());
  g_cache_root = root;
  for (auto _ : state) {
    state.PauseTiming();
    if (!cached) std::filesystem::remove_all(root);
    state.ResumeTiming();
    if (!InitFirstDevice(0, state)) break;
    state.PauseTiming();
    state.counters["from_cache"] = g_gpus[0].program_from_cache ? 1 : 0;
    Release();
    state.ResumeTiming();
  }
  if (cached) std::filesystem::remove_all(root);
  g_cache_root.clear();
}

}  // namespace

int main(int argc, char** argv) {
  // The start-up banner of every initialisation is noise here.
  FILE* quiet = std::fopen("/dev/null", "w");
  base::printer::inst().set_console(quiet, false);
  const int rounds = EnvInt("ORBECK_BENCH_ROUNDS", 3);
  benchmark::RegisterBenchmark("start/kernel_build", StartUp, false)
      ->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
  benchmark::RegisterBenchmark("start/cached", StartUp, true)
      ->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
  for (int32_t algorithm = 0; algorithm < crypto::kAlgoCount; ++algorithm) {
    const std::string name = std::to_string(algorithm) + "_" + crypto::algorithm_name(algorithm);
    benchmark::RegisterBenchmark(("cpu_1_thread/" + name).c_str(), CpuSingleThread, algorithm)
        ->MinTime(1.0)->Unit(benchmark::kMillisecond)->UseRealTime();
    benchmark::RegisterBenchmark(("gpu_rounds/" + name).c_str(), GpuRounds, algorithm)
        ->Iterations(rounds)->Unit(benchmark::kMillisecond)->UseRealTime();
  }
  benchmark::RegisterBenchmark("cn_r_new_height/not_built_ahead", NewHeight, false)
      ->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();
  benchmark::RegisterBenchmark("cn_r_new_height/built_ahead", NewHeight, true)
      ->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();
  benchmark::RegisterBenchmark("cn_r_height_memory/mining_path", HeightMemory, false)
      ->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
  benchmark::RegisterBenchmark("cn_r_height_memory/plain_opencl", HeightMemory, true)
      ->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
  for (int32_t algorithm : {0, 1, 10}) {
    const std::string name = std::to_string(algorithm) + "_" + crypto::algorithm_name(algorithm);
    benchmark::RegisterBenchmark(("gpu_kernels/" + name).c_str(), KernelBreakdown, algorithm)
        ->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  // ratio: device H/s over one CPU thread's H/s, measured side by side;
  // per-core: the same with hashes per CPU second on both sides.
  std::printf("\n%-26s %11s %11s %7s %11s %11s %8s\n", "algorithm", "cpu 1T H/s", "device H/s",
              "ratio", "cpu H/cpu_s", "dev H/cpu_s", "per-core");
  for (const auto& [algorithm, gpu_rate] : g_gpu_rate) {
    const double cpu_rate = g_cpu_rate.count(algorithm) ? g_cpu_rate[algorithm] : 0.0;
    const double cpu_eff = g_cpu_efficiency.count(algorithm) ? g_cpu_efficiency[algorithm] : 0.0;
    const double gpu_eff = g_gpu_efficiency[algorithm];
    std::printf("%2d %-23s %11.2f %11.2f %7.2f %11.2f %11.2f %8.2f\n", algorithm,
                crypto::algorithm_name(algorithm), cpu_rate, gpu_rate,
                cpu_rate > 0 ? gpu_rate / cpu_rate : 0.0, cpu_eff, gpu_eff,
                cpu_eff > 0 ? gpu_eff / cpu_eff : 0.0);
  }
  std::fclose(quiet);
  return 0;
}
