// The JSON parser's work stack: its own block first, the heap only beyond it,
// and back to the block once a parse has ended.
#include "net/json_parse_stack.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace net {
namespace {

using parse_stack = rapidjson::internal::Stack<json_parse_stack>;

TEST(JsonParseStack, StartsInItsBlock) {
  parse_stack stack(nullptr, 256);
  EXPECT_TRUE(stack.Empty());
  EXPECT_FALSE(stack.OnHeap());
  EXPECT_EQ(stack.GetCapacity(), json_parse_stack::kBlockSize);
  // Filling the block exactly stays in it.
  uint32_t* first = stack.Push<uint32_t>(json_parse_stack::kBlockSize / sizeof(uint32_t));
  EXPECT_EQ(static_cast<void*>(first), static_cast<void*>(stack.Bottom<char>()));
  EXPECT_FALSE(stack.OnHeap());
  EXPECT_EQ(stack.GetSize(), json_parse_stack::kBlockSize);
}

TEST(JsonParseStack, GrowsOntoTheHeapKeepingItsContentsAndReturns) {
  parse_stack stack(nullptr, 256);
  const uint32_t count = 3 * json_parse_stack::kBlockSize / sizeof(uint32_t) + 7;
  for (uint32_t i = 0; i < count; ++i) *stack.Push<uint32_t>() = i * 2654435761u;
  EXPECT_TRUE(stack.OnHeap());
  ASSERT_EQ(stack.GetSize(), count * sizeof(uint32_t));
  const uint32_t* values = stack.Bottom<uint32_t>();
  for (uint32_t i = 0; i < count; ++i) ASSERT_EQ(values[i], i * 2654435761u) << i;
  EXPECT_EQ(*stack.Top<uint32_t>(), (count - 1) * 2654435761u);
  EXPECT_EQ(*stack.Pop<uint32_t>(1), (count - 1) * 2654435761u);

  // A stack still in use keeps its memory.
  stack.ShrinkToFit();
  EXPECT_TRUE(stack.OnHeap());
  stack.Clear();
  stack.ShrinkToFit();
  EXPECT_FALSE(stack.OnHeap());
  EXPECT_EQ(stack.GetCapacity(), json_parse_stack::kBlockSize);
  *stack.Push<uint32_t>() = 5;
  EXPECT_EQ(*stack.Top<uint32_t>(), 5u);
}

TEST(JsonParseStack, DocumentParsesAgainAfterAParseThatLeftTheBlock) {
  using document = rapidjson::GenericDocument<rapidjson::UTF8<>, rapidjson::MemoryPoolAllocator<>,
                                              json_parse_stack>;
  document doc;
  std::string wide = "[";
  for (int i = 0; i < 10000; ++i) wide += i == 0 ? "[1]" : ",[1]";
  wide += "]";
  doc.Parse<rapidjson::kParseIterativeFlag>(wide.c_str());
  ASSERT_FALSE(doc.HasParseError());
  ASSERT_EQ(doc.Size(), 10000u);
  EXPECT_EQ(doc[9999][0].GetInt(), 1);
  EXPECT_EQ(doc.GetStackCapacity(), json_parse_stack::kBlockSize);  // back in the block

  doc.Parse<rapidjson::kParseIterativeFlag>("{\"a\":[true,\"x\"]}");
  ASSERT_FALSE(doc.HasParseError());
  EXPECT_STREQ(doc["a"][1].GetString(), "x");
  doc.Parse<rapidjson::kParseIterativeFlag>("{\"a\":[true,");
  EXPECT_TRUE(doc.HasParseError());
}

}  // namespace
}  // namespace net
