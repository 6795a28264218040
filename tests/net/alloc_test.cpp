// Heap allocations of the steady state: a job notification parsed by
// process_line and posted as a new_job event must allocate nothing once the
// first line has been handled. This binary counts every operator new.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "support/counting_allocator.h"
#include "support/pool_event_queue.h"
#include "fake_pool.h"
#include "net/jpsock.h"
#include "net/line_framer.h"


namespace net {
namespace {

TEST(ProcessLineAllocations, SteadyStateAllocatesNothing) {
  support::pool_event_queue events;
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

  const uint64_t before = support::heap_allocations.load();
  for (int i = 0; i < 1000; ++i) {
    std::memcpy(line, notification.data(), notification.size());
    ASSERT_TRUE(sock.process_line(line, notification.size()));
    ASSERT_TRUE(events.take_for(std::chrono::seconds(0)));
  }
  EXPECT_EQ(support::heap_allocations.load() - before, 0u);
}

// The parser's work stacks hold the widest and the deepest line the framer
// can hand out in their own blocks; only a longer line (a direct caller's)
// takes heap memory for them.
TEST(ProcessLineAllocations, ParseStackNeedsNoHeapForAnyFramedLine) {
  support::pool_event_queue events;
  jpsock sock(core::kPoolUser, events);
  // Parsed in place: each line is used once, and built before counting.
  const auto feed = [&sock](std::string& line) { return sock.process_line(line.data(), line.size()); };
  const size_t longest = line_framer::kBufferSize - 1;  // line feed included
  std::string bad = "x\n";
  ASSERT_FALSE(feed(bad));  // the connection's error text is set
  std::string deep = std::string(longest - 1, '[') + "\n";
  std::string wide = "[0";
  while (wide.size() + 2 + 2 <= longest) wide += ",0";  // room for "]\n"
  wide += "]\n";
  std::string members = "{\"\":0";
  while (members.size() + 5 + 2 <= longest) members += ",\"\":0";
  members += "}\n";
  std::string deeper = std::string(3 * longest, '[') + "\n";
  ASSERT_EQ(deep.size(), longest);
  ASSERT_LE(wide.size(), longest);
  ASSERT_LE(members.size(), longest);

  const uint64_t before = support::heap_allocations.load();
  EXPECT_FALSE(feed(deep));     // every byte an open container, then the end
  EXPECT_FALSE(feed(wide));     // a valid array, not an object
  EXPECT_FALSE(feed(members));  // a valid object without an id
  EXPECT_EQ(support::heap_allocations.load() - before, 0u);

  // Guards the check above: a deeper line than the framer allows does take
  // heap memory.
  const uint64_t framed = support::heap_allocations.load();
  EXPECT_FALSE(feed(deeper));
  EXPECT_GE(support::heap_allocations.load() - framed, 1u);
  EXPECT_EQ(sock.error_text(), "Job Error: Invalid JSON");
}

TEST(ProcessLineAllocations, CountingAllocatorSeesAllocations) {
  // Guards the test above against an allocator that counts nothing.
  const uint64_t before = support::heap_allocations.load();
  auto* value = new std::string(100, 'x');
  delete value;
  EXPECT_GE(support::heap_allocations.load() - before, 1u);
}

}  // namespace
}  // namespace net
