#include "vector_file.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "base/hex.h"
#include "crypto/algorithm.h"

namespace crypto {

std::string vector_path(const std::string& name) {
  return std::string(ORBECK_TEST_DATA_DIR) + "/vectors/" + name;
}

size_t count_vector_lines(const std::string& name) {
  std::ifstream file(vector_path(name));
  size_t count = 0;
  std::string line;
  while (std::getline(file, line)) count += line.empty() ? 0 : 1;
  return count;
}

std::vector<hash_vector> read_hash_vectors(const std::string& name) {
  std::vector<hash_vector> vectors;
  std::ifstream file(vector_path(name));
  EXPECT_TRUE(file.is_open()) << name;
  std::string line;
  for (int number = 1; std::getline(file, line); ++number) {
    if (line.empty()) continue;
    std::istringstream fields(line);
    std::string expected, input;
    fields >> expected >> input;
    hash_vector v;
    v.line = number;
    const bool ok =
        base::hex_decode(expected, &v.expected) && (input == "x" || base::hex_decode(input, &v.input));
    EXPECT_TRUE(ok && v.expected.size() == 32) << name << ":" << number;
    if (ok) vectors.push_back(std::move(v));
  }
  return vectors;
}

std::vector<hash_vector> read_variant_vectors(const std::string& name) {
  std::vector<hash_vector> vectors;
  std::ifstream file(vector_path(name));
  EXPECT_TRUE(file.is_open()) << name;
  std::string line;
  std::getline(file, line);  // header
  for (int number = 2; std::getline(file, line); ++number) {
    if (line.empty()) continue;
    std::istringstream fields(line);
    std::string id, algo_name, input, expected;
    std::getline(fields, id, '\t');
    std::getline(fields, algo_name, '\t');
    std::getline(fields, input, '\t');
    std::getline(fields, expected, '\t');
    hash_vector v;
    v.line = number;
    v.algorithm = std::stoi(id);
    const bool ok = base::hex_decode(input, &v.input) && base::hex_decode(expected, &v.expected);
    EXPECT_TRUE(ok && v.expected.size() == 32) << name << ":" << number;
    if (ok) vectors.push_back(std::move(v));
  }
  return vectors;
}

std::vector<hash_vector> read_named_vectors(const std::string& name) {
  std::vector<hash_vector> vectors;
  std::ifstream file(vector_path(name));
  EXPECT_TRUE(file.is_open()) << name;
  std::string line;
  std::getline(file, line);  // header
  for (int number = 2; std::getline(file, line); ++number) {
    if (line.empty()) continue;
    std::istringstream fields(line);
    std::string height, input, expected;
    hash_vector v;
    std::getline(fields, v.name, '\t');
    std::getline(fields, input, '\t');
    std::getline(fields, height, '\t');
    std::getline(fields, expected, '\t');
    v.line = number;
    v.algorithm = find_algorithm_by_pool_name(v.name);
    if (!height.empty()) v.height = std::stoull(height);
    // An empty input column is the empty message.
    const bool ok = base::hex_decode(input, &v.input) && base::hex_decode(expected, &v.expected);
    EXPECT_TRUE(ok && v.expected.size() == 32) << name << ":" << number;
    if (ok) vectors.push_back(std::move(v));
  }
  return vectors;
}

}  // namespace crypto
