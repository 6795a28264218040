// orbeck-hash: CryptoNight hashes of hex blobs, and a one-thread benchmark.
#include <iostream>

#include "hash_tool.h"

int main(int argc, char** argv) {
  return orbeck_hash::run(argc, argv, std::cin, std::cout, std::cerr);
}
