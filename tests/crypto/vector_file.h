// Reading the published hash vectors in tests/data/vectors. Test helper;
// any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace crypto {

struct hash_vector {
  int32_t algorithm = -1;  // id column of the .tsv (or the id of its name); -1 for .txt files
  std::string name;        // name column of a named .tsv
  std::vector<uint8_t> input;
  std::vector<uint8_t> expected;  // 32 bytes
  uint64_t height = 0;            // height column of a named .tsv (0 when empty)
  int line = 0;                   // 1-based line in the file, for messages
};

// Absolute path of a file in tests/data/vectors.
std::string vector_path(const std::string& name);

// Lines "<expected hex> <input hex>", a lone "x" meaning empty input. Adds a
// gtest failure and returns what it has for an unreadable file or line.
std::vector<hash_vector> read_hash_vectors(const std::string& name);

// Non-blank lines of a vector file (for checking that every line was read).
size_t count_vector_lines(const std::string& name);

// The tab-separated "id name input expected source" file, header skipped.
std::vector<hash_vector> read_variant_vectors(const std::string& name);

// The tab-separated "name input height expected source" file, header
// skipped; algorithm is the id of the pool name, -1 for names this build
// does not mine.
std::vector<hash_vector> read_named_vectors(const std::string& name);

}  // namespace crypto
