// Counting replacements of the global operator new and delete (malloc and
// free underneath), for a binary that proves a path allocates nothing.
// Replacement allocation functions cannot be inline: include this header in
// exactly one source file of the binary. Any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace support {

// Calls of operator new (any form) since the program started.
inline std::atomic<uint64_t> heap_allocations{0};

}  // namespace support

// GCC, inlining these into the library's new/delete pairs, takes the
// malloc/free pairing for a mismatch.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(size_t size) {
  support::heap_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
