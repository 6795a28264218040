// The interleaving each algorithm mines with on this processor: measured by
// --autotune, kept in a text file in the cache directory and read at start.
// A file written for another processor or thread count is ignored. Plain
// functions; any thread.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "base/status.h"

namespace cpu {

struct ways_entry {
  int ways = 1;
  double hash_rate = 0.0;  // H/s of all threads, as measured
};

// The valid entries of a store's text by algorithm id; empty for a text of
// another owner or no store at all. Lines that do not parse, or name an
// algorithm or a count out of range, are skipped.
std::map<int32_t, ways_entry> parse_ways_store(const std::string& text, const std::string& owner);
std::string format_ways_store(const std::string& owner, const std::map<int32_t, ways_entry>& entries);

// The store file: <XDG_CACHE_HOME or ~/.cache>/orbeck-vega/cpu-ways; empty
// when neither is set.
std::string ways_store_path();
// Who a store belongs to: the processor's model name and the thread count.
std::string ways_owner(uint32_t threads);

std::map<int32_t, ways_entry> load_ways(const std::string& path, const std::string& owner);
// Writes through a temporary file and a rename; an error when it cannot.
base::status store_ways(const std::string& path, const std::string& owner, const std::map<int32_t, ways_entry>& entries);

}  // namespace cpu
