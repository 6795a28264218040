#include "crypto/work_area.h"

#include <stdlib.h>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace crypto {
namespace {

constexpr size_t kHugePageSize = 2 * 1024 * 1024;
constexpr size_t kPageSize = 4096;
static_assert(kHugePageSize % kPageSize == 0);

}  // namespace

uint8_t* allocate_work_area(size_t size) {
  const size_t rounded = (size + kPageSize - 1) / kPageSize * kPageSize;
  void* block = nullptr;
  if (posix_memalign(&block, kHugePageSize, rounded) != 0) return nullptr;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  // Advice only: without transparent huge pages the block stays as it is.
  madvise(block, rounded, MADV_HUGEPAGE);
#endif
  return static_cast<uint8_t*>(block);
}

void free_work_area(uint8_t* block) { std::free(block); }

}  // namespace crypto
