#include "cpu/platform.h"

#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <time.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <utility>
#include <vector>

namespace cpu {
namespace {

constexpr size_t kHugePage = 2 * 1024 * 1024;

size_t round_up(size_t value, size_t step) { return (value + step - 1) / step * step; }

// Whether the kernel backs the start of a mapping with a transparent huge
// page: its AnonHugePages line in /proc/self/smaps.
bool backed_by_huge_pages(const void* start) {
  std::ifstream smaps("/proc/self/smaps");
  char prefix[32];
  snprintf(prefix, sizeof(prefix), "%lx-", reinterpret_cast<unsigned long>(start));
  std::string line;
  bool inside = false;
  while (std::getline(smaps, line)) {
    if (!line.empty() && std::isxdigit(static_cast<unsigned char>(line[0])) && line.find('-') != std::string::npos &&
        line.find(':') == std::string::npos) {
      inside = line.starts_with(prefix);
      continue;
    }
    if (inside && line.starts_with("AnonHugePages:")) {
      unsigned long kib = 0;
      return std::sscanf(line.c_str() + 14, "%lu", &kib) == 1 && kib > 0;
    }
  }
  return false;
}

}  // namespace

const char* page_kind_name(page_kind kind) {
  switch (kind) {
    case page_kind::hugetlb: return "reserved huge pages";
    case page_kind::transparent: return "transparent huge pages";
    case page_kind::normal: break;
  }
  return "normal pages";
}

pad_memory::~pad_memory() { release(); }

pad_memory::pad_memory(pad_memory&& other) noexcept { *this = std::move(other); }

pad_memory& pad_memory::operator=(pad_memory&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    mapping_ = std::exchange(other.mapping_, nullptr);
    mapping_size_ = std::exchange(other.mapping_size_, 0);
    size_ = std::exchange(other.size_, 0);
    kind_ = other.kind_;
  }
  return *this;
}

void pad_memory::release() {
  if (mapping_ != nullptr) munmap(mapping_, mapping_size_);
  mapping_ = nullptr;
  data_ = nullptr;
  mapping_size_ = 0;
  size_ = 0;
}

base::status pad_memory::allocate(size_t bytes, bool huge_pages, pad_memory& out) {
  out.release();
  const size_t size = round_up(bytes, kHugePage);
#if defined(MAP_HUGETLB)
  if (huge_pages) {
    void* block = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_HUGETLB, -1, 0);
    if (block != MAP_FAILED) {
      out.mapping_ = block;
      out.mapping_size_ = size;
      out.data_ = static_cast<uint8_t*>(block);
      out.size_ = size;
      out.kind_ = page_kind::hugetlb;
      std::memset(out.data_, 0, size);
      return base::status::ok();
    }
  }
#endif
  // One huge page more than needed, so a 2 MiB boundary lies inside.
  const size_t mapping_size = size + kHugePage;
  void* block = mmap(nullptr, mapping_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) {
    return base::status::from_errno(errno, "Cannot map " + std::to_string(size) + " bytes of scratchpad memory");
  }
  out.mapping_ = block;
  out.mapping_size_ = mapping_size;
  const uintptr_t start = round_up(reinterpret_cast<uintptr_t>(block), kHugePage);
  out.data_ = reinterpret_cast<uint8_t*>(start);
  out.size_ = size;
  out.kind_ = page_kind::normal;
#if defined(MADV_HUGEPAGE)
  const bool advised = huge_pages && madvise(out.data_, size, MADV_HUGEPAGE) == 0;
#else
  const bool advised = false;
#endif
  std::memset(out.data_, 0, size);
  if (advised && backed_by_huge_pages(out.data_)) out.kind_ = page_kind::transparent;
  return base::status::ok();
}

std::vector<uint32_t> allowed_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  std::vector<uint32_t> cpus;
  if (sched_getaffinity(0, sizeof(set), &set) != 0) return cpus;
  for (uint32_t cpu = 0; cpu < CPU_SETSIZE; ++cpu)
    if (CPU_ISSET(cpu, &set)) cpus.push_back(cpu);
  return cpus;
}

base::status pin_current_thread(uint32_t cpu) {
  if (cpu >= CPU_SETSIZE) return base::status::error(base::status_code::kInvalidInput, "CPU number out of range");
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  const int error = pthread_setaffinity_np(pthread_self(), sizeof(set), &set);
  if (error != 0) return base::status::from_errno(error, "Cannot pin a mining thread to CPU " + std::to_string(cpu));
  return base::status::ok();
}

float package_temperature(const std::string& root) {
  std::error_code error;
  const std::filesystem::path dir = std::filesystem::path(root) / "class" / "hwmon";
  std::vector<std::filesystem::path> devices;
  for (const auto& entry : std::filesystem::directory_iterator(dir, error)) devices.push_back(entry.path());
  std::sort(devices.begin(), devices.end());
  for (const auto& device : devices) {
    std::ifstream name_file(device / "name");
    std::string name;
    if (!(name_file >> name)) continue;
    if (name != "coretemp" && name != "k10temp" && name != "zenpower" && name != "cpu_thermal") continue;
    std::ifstream value_file(device / "temp1_input");
    long millidegrees = 0;
    if (value_file >> millidegrees) return static_cast<float>(millidegrees) / 1000.0f;
  }
  return -1.0f;
}

uint64_t thread_cpu_us() {
  timespec now = {};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000 + static_cast<uint64_t>(now.tv_nsec) / 1000;
}

}  // namespace cpu
