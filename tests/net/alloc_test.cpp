// Heap allocations of the steady state: a job notification parsed by
// process_line and posted as a new_job event must allocate nothing once the
// first line has been handled. This binary counts every operator new.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "core/event_queue.h"
#include "fake_pool.h"
#include "net/jpsock.h"

namespace {
std::atomic<uint64_t> allocations{0};
}  // namespace

// The replacements below pair malloc with free; GCC, inlining them into the
// library's new/delete pairs, takes that for a mismatch.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }

namespace net {
namespace {

TEST(ProcessLineAllocations, SteadyStateAllocatesNothing) {
  core::event_queue events;
  jpsock sock(core::kPoolUser, events);
  const std::string notification =
      "{\"jsonrpc\":\"2.0\",\"method\":\"job\",\"params\":{\"blob\":\"" + std::string(152, 'a') +
      "\",\"job_id\":\"Nm5Bc0pDb2hMZzNmWUZDbHp6ZkRZbHlL\",\"target\":\"b88d0600\","
      "\"algo\":\"cn/1\",\"height\":1700000}}\n";
  char line[1024];

  // The first line may set things up.
  std::memcpy(line, notification.data(), notification.size());
  ASSERT_TRUE(sock.process_line(line, notification.size()));
  ASSERT_TRUE(events.take_for(std::chrono::seconds(0)));

  const uint64_t before = allocations.load();
  for (int i = 0; i < 1000; ++i) {
    std::memcpy(line, notification.data(), notification.size());
    ASSERT_TRUE(sock.process_line(line, notification.size()));
    ASSERT_TRUE(events.take_for(std::chrono::seconds(0)));
  }
  EXPECT_EQ(allocations.load() - before, 0u);
}

TEST(ProcessLineAllocations, CountingAllocatorSeesAllocations) {
  // Guards the test above against an allocator that counts nothing.
  const uint64_t before = allocations.load();
  auto* value = new std::string(100, 'x');
  delete value;
  EXPECT_GE(allocations.load() - before, 1u);
}

}  // namespace
}  // namespace net
