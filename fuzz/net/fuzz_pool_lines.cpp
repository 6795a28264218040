// Arbitrary pool bytes through the receive loop's line framing and
// jpsock::process_line, without a socket. The first input byte sets the
// size of the reads the bytes arrive in, so lines split in every way.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "support/pool_event_queue.h"
#include "net/jpsock.h"
#include "net/line_framer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static support::pool_event_queue events;
  static net::jpsock sock(core::kPoolUser, events);
  if (size == 0) return 0;
  const size_t read_size = 1 + data[0] % 64 * 67;  // 1 .. 4222 bytes per read
  ++data;
  --size;

  net::line_framer framer;
  auto handle_line = [](char* line, size_t length) { return sock.process_line(line, length); };
  size_t offset = 0;
  while (offset < size) {
    size_t count = size - offset;
    if (count > read_size) count = read_size;
    if (count > framer.free_capacity()) count = framer.free_capacity();
    std::memcpy(framer.free_space(), data + offset, count);
    offset += count;
    const auto result = framer.commit(static_cast<uint32_t>(count), handle_line);
    // The connection would end here; keep going as if the pool reconnected.
    if (result != net::line_framer::result::kMore) framer.reset();
  }
  // Jobs must come out whole and consistent.
  while (auto event = events.take_for(std::chrono::seconds(0))) {
    if (event->kind != core::kNewJob) __builtin_trap();
    const auto& job = std::get<core::job_record>(event->payload);
    if (job.blob_length > core::kBlobSize || job.target == 0) __builtin_trap();
    if (std::memchr(job.job_id, 0, core::kJobIdSize) == nullptr) __builtin_trap();
    for (size_t i = job.blob_length; i < core::kBlobSize; ++i) {
      if (job.blob[i] != 0) __builtin_trap();
    }
  }
  return 0;
}
