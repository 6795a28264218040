// Cuts the byte stream of one connection into lines inside a fixed
// 4096-byte buffer. Used by one thread at a time (the connection thread, or
// a test or fuzzer driving it directly); no locking, no heap.
#pragma once

#include <cassert>
#include <cstdint>
#include <cstring>

namespace net {

class line_framer {
 public:
  static constexpr uint32_t kBufferSize = 4096;

  enum class result {
    kMore,      // every complete line was accepted; read more
    kOverflow,  // the pending bytes filled the whole buffer
    kRejected,  // the line handler returned false
  };

  // Where the next read writes, and how many bytes fit there.
  char* free_space() { return buffer_ + fill_; }
  uint32_t free_capacity() const { return kBufferSize - fill_; }
  // Bytes received and not yet handed out as a line.
  uint32_t pending() const { return fill_; }
  void reset() { fill_ = 0; }

  // Accounts `count` bytes just written at free_space() and hands each
  // complete line, line feed included, in arrival order to
  // on_line(char* line, size_t length) -> bool, which may change the line in
  // place; a remaining partial line moves to the front. A line may be at
  // most 4095 bytes with its line feed: one that fills the whole buffer,
  // with or without a line feed at its end, is kOverflow. Several shorter
  // lines that arrive together are never an overflow, however many bytes
  // they add up to (a burst of jobs, or one large TLS record).
  template <typename LineHandler>
  result commit(uint32_t count, LineHandler&& on_line) {
    assert(count <= free_capacity());
    fill_ += count;

    char* start = buffer_;
    uint32_t remaining = fill_;
    while (remaining != 0) {
      char* feed = static_cast<char*>(std::memchr(start, '\n', remaining));
      if (feed == nullptr) break;
      uint32_t length = static_cast<uint32_t>(feed - start) + 1;
      if (length >= kBufferSize) return result::kOverflow;
      if (!on_line(start, static_cast<size_t>(length))) return result::kRejected;
      start += length;
      remaining -= length;
    }
    if (remaining >= kBufferSize) return result::kOverflow;
    if (remaining != 0 && start != buffer_) std::memmove(buffer_, start, remaining);
    fill_ = remaining;
    return result::kMore;
  }

 private:
  char buffer_[kBufferSize];
  uint32_t fill_ = 0;
};

}  // namespace net
