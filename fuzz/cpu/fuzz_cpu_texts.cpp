// Arbitrary file contents through the CPU backend's parsers: the whole input
// as a sysfs CPU list and cache size, and as a ways store (whose owner line
// is taken from the input's second line, so matching stores are reached).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "cpu/topology.h"
#include "cpu/ways_store.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<uint32_t> cpus;
  cpu::parse_cpu_list(text, cpus);
  uint64_t bytes = 0;
  cpu::parse_cache_size(text, bytes);
  std::string owner;
  const size_t first = text.find('\n');
  if (first != std::string::npos) {
    const size_t second = text.find('\n', first + 1);
    const std::string line = text.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
    if (line.rfind("owner=", 0) == 0) owner = line.substr(6);
  }
  const auto entries = cpu::parse_ways_store(text, owner);
  const std::string again = cpu::format_ways_store(owner, entries);
  if (owner.find('\n') == std::string::npos && cpu::parse_ways_store(again, owner).size() != entries.size())
    __builtin_trap();  // what was stored must read back
  return 0;
}
