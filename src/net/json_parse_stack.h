// The JSON parser's work stack with its memory given up front. Selected by
// using json_parse_stack as the stack allocator type of a GenericDocument:
// the document's stack of values not yet placed in their container and the
// iterative reader's stack of open containers then both start in a fixed
// block inside themselves (the reader's lives on the parsing thread's stack
// for the length of one parse: 64 KiB of it). One parse at a time per stack
// (the thread that owns the document); no locking.
//
// Why not the library's own stack: it starts without memory, so its first
// push computes an end from a null pointer (undefined behaviour), and it takes
// its memory from a pool that the owner clears between lines. This one never
// points into memory it does not own, keeps its block across parses, and only
// a line longer than kBlockSize allows for moves it onto the heap (freed again
// when the parse ends).
#pragma once

#include <rapidjson/document.h>
#include <rapidjson/internal/stack.h>

#include <cstddef>
#include <cstring>
#include <new>

// The specialisation below follows the interface of this library version's
// internal stack, which the document and the reader call.
static_assert(RAPIDJSON_MAJOR_VERSION == 1 && RAPIDJSON_MINOR_VERSION == 1,
              "check json_parse_stack against the library's internal Stack");

namespace net {

// The stack allocator type that selects the stack below. It allocates
// nothing itself: the stacks hold their own memory.
struct json_parse_stack {
  // Bytes each stack holds without touching the heap: one 16-byte value per
  // input byte of a 4095-byte line (every pending value, key and open
  // container starts at a byte of its own).
  static constexpr size_t kBlockSize = 64 * 1024;
};

}  // namespace net

RAPIDJSON_NAMESPACE_BEGIN
namespace internal {

template <>
class Stack<net::json_parse_stack> {
 public:
  // The allocator argument and the initial capacity are not needed: the
  // memory is the block.
  Stack(net::json_parse_stack*, size_t) {}
  ~Stack() { release_heap(); }
  Stack(const Stack&) = delete;
  Stack& operator=(const Stack&) = delete;

  void Clear() { top_ = bottom_; }
  // Called by the document after every parse, on an empty stack: a stack that
  // grew onto the heap returns to its block.
  void ShrinkToFit() {
    if (Empty()) release_heap();
  }

  template <typename T>
  RAPIDJSON_FORCEINLINE void Reserve(size_t count = 1) {
    if (RAPIDJSON_UNLIKELY(sizeof(T) * count > static_cast<size_t>(end_ - top_))) {
      grow(sizeof(T) * count);
    }
  }
  template <typename T>
  RAPIDJSON_FORCEINLINE T* Push(size_t count = 1) {
    Reserve<T>(count);
    return PushUnsafe<T>(count);
  }
  template <typename T>
  RAPIDJSON_FORCEINLINE T* PushUnsafe(size_t count = 1) {
    RAPIDJSON_ASSERT(sizeof(T) * count <= static_cast<size_t>(end_ - top_));
    T* pushed = reinterpret_cast<T*>(top_);
    top_ += sizeof(T) * count;
    return pushed;
  }
  template <typename T>
  T* Pop(size_t count) {
    RAPIDJSON_ASSERT(GetSize() >= count * sizeof(T));
    top_ -= count * sizeof(T);
    return reinterpret_cast<T*>(top_);
  }
  template <typename T>
  T* Top() {
    RAPIDJSON_ASSERT(GetSize() >= sizeof(T));
    return reinterpret_cast<T*>(top_ - sizeof(T));
  }
  template <typename T>
  const T* Top() const {
    RAPIDJSON_ASSERT(GetSize() >= sizeof(T));
    return reinterpret_cast<const T*>(top_ - sizeof(T));
  }
  template <typename T>
  T* End() { return reinterpret_cast<T*>(top_); }
  template <typename T>
  const T* End() const { return reinterpret_cast<const T*>(top_); }
  template <typename T>
  T* Bottom() { return reinterpret_cast<T*>(bottom_); }
  template <typename T>
  const T* Bottom() const { return reinterpret_cast<const T*>(bottom_); }

  // No allocator object: the document then gives its reader none either,
  // and the reader's stack holds its own block like this one.
  bool HasAllocator() const { return false; }
  net::json_parse_stack& GetAllocator() {
    static net::json_parse_stack none;
    return none;
  }

  bool Empty() const { return top_ == bottom_; }
  size_t GetSize() const { return static_cast<size_t>(top_ - bottom_); }
  size_t GetCapacity() const { return static_cast<size_t>(end_ - bottom_); }
  bool OnHeap() const { return bottom_ != block_; }

 private:
  // Moves the contents to a heap buffer with room for `more` further bytes.
  void grow(size_t more) {
    const size_t size = GetSize();
    size_t capacity = 2 * GetCapacity();
    if (capacity < size + more) capacity = size + more;
    char* heap = static_cast<char*>(::operator new(capacity));
    std::memcpy(heap, bottom_, size);
    release_heap();
    bottom_ = heap;
    top_ = heap + size;
    end_ = heap + capacity;
  }
  void release_heap() {
    if (!OnHeap()) return;
    ::operator delete(bottom_);
    bottom_ = block_;
    top_ = block_;
    end_ = block_ + sizeof(block_);
  }

  alignas(std::max_align_t) char block_[net::json_parse_stack::kBlockSize];
  char* bottom_ = block_;
  char* top_ = block_;
  char* end_ = block_ + sizeof(block_);
};

}  // namespace internal
RAPIDJSON_NAMESPACE_END
