// The operating system as the CPU backend uses it, all in one place:
// scratchpad memory in huge pages, pinning a thread to a logical CPU, and
// the processor package's temperature from hwmon. Any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/status.h"

namespace cpu {

// How a block of scratchpad memory is backed.
enum class page_kind : uint8_t {
  normal,       // 4 KiB pages
  transparent,  // transparent huge pages, asked for and given
  hugetlb,      // reserved huge pages (MAP_HUGETLB)
};

const char* page_kind_name(page_kind kind);

// An anonymous mapping aligned to 2 MiB, freed with the object. With
// huge_pages set it asks for reserved huge pages first, then advises
// transparent ones; it falls back to normal pages without a word.
class pad_memory {
 public:
  pad_memory() = default;
  ~pad_memory();
  pad_memory(pad_memory&& other) noexcept;
  pad_memory& operator=(pad_memory&& other) noexcept;
  pad_memory(const pad_memory&) = delete;
  pad_memory& operator=(const pad_memory&) = delete;

  // `bytes` of memory, touched once so the pages are in place before the
  // first hash; an error when not even normal pages are there.
  static base::status allocate(size_t bytes, bool huge_pages, pad_memory& out);

  uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  page_kind kind() const { return kind_; }

 private:
  void release();
  uint8_t* data_ = nullptr;
  void* mapping_ = nullptr;
  size_t mapping_size_ = 0;
  size_t size_ = 0;
  page_kind kind_ = page_kind::normal;
};

// The logical CPUs the process may run on; empty when that is unknown.
std::vector<uint32_t> allowed_cpus();

// Binds the calling thread to one logical CPU.
base::status pin_current_thread(uint32_t cpu);

// The processor package temperature in °C from the first hwmon device below
// <root>/class/hwmon whose name is a CPU sensor (coretemp, k10temp,
// zenpower, cpu_thermal); -1 when there is none.
float package_temperature(const std::string& root);

// CPU time the calling thread has used, in microseconds.
uint64_t thread_cpu_us();

}  // namespace cpu
