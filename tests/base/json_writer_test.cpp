// The tabbed JSON layout: indentation by open objects only, one member or
// element per line, escapes as json_text writes them, fixed decimals.
#include "base/json_writer.h"

#include <gtest/gtest.h>

#include <string>

#include "base/json_text.h"

namespace base {
namespace {

std::string text_of(const rapidjson::StringBuffer& buffer) { return std::string(buffer.GetString(), buffer.GetSize()); }

TEST(TabbedJsonWriter, IndentsByOpenObjectsWhileArraysAddNone) {
  rapidjson::StringBuffer buffer;
  tabbed_json_writer out(buffer);
  out.StartObject();
  out.Key("count");
  out.Uint(3);
  out.Key("inner");
  out.StartObject();
  out.Key("big");
  out.Uint64(18446744073709551615ull);
  out.Key("negative");
  out.Int(-1);
  out.EndObject();
  out.Key("list");
  out.StartArray();
  for (int i = 0; i < 2; ++i) {
    out.StartObject();
    out.Key("on");
    out.Bool(i == 1);
    out.Key("none");
    out.Null();
    out.EndObject();
  }
  out.EndArray();
  out.Key("numbers");
  out.StartArray();
  out.Int64(-5);
  out.Fixed(2.0 / 3.0, 2);
  out.EndArray();
  out.Key("empty");
  out.StartArray();
  out.EndArray();
  out.EndObject();
  EXPECT_TRUE(out.IsComplete());
  EXPECT_EQ(text_of(buffer),
            "{\n"
            "\t\"count\": 3,\n"
            "\t\"inner\": {\n"
            "\t\t\"big\": 18446744073709551615,\n"
            "\t\t\"negative\": -1\n"
            "\t},\n"
            "\t\"list\": [\n"
            "\t{\n"
            "\t\t\"on\": false,\n"
            "\t\t\"none\": null\n"
            "\t},\n"
            "\t{\n"
            "\t\t\"on\": true,\n"
            "\t\t\"none\": null\n"
            "\t}\n"
            "\t],\n"
            "\t\"numbers\": [\n"
            "\t-5,\n"
            "\t0.67\n"
            "\t],\n"
            "\t\"empty\": [\n"
            "\t]\n"
            "}");
}

TEST(TabbedJsonWriter, EscapesStringsAndKeysAsJsonTextDoes) {
  rapidjson::StringBuffer buffer;
  tabbed_json_writer out(buffer);
  const std::string value = std::string("q\"b\\s/\x01\x1f\t\xc3\xa9") + '\0' + "end";
  out.StartObject();
  out.Key("k\"ey");
  out.String(value);
  out.EndObject();
  EXPECT_EQ(text_of(buffer), "{\n\t\"k\\\"ey\": \"" + json_escaped(value) + "\"\n}");
  EXPECT_NE(text_of(buffer).find("\\u001f"), std::string::npos);
  EXPECT_NE(text_of(buffer).find("\\u0000end"), std::string::npos);
}

TEST(TabbedJsonWriter, FixedRoundsLikePrintfAndRawValuesPassThrough) {
  rapidjson::StringBuffer buffer;
  tabbed_json_writer out(buffer);
  out.StartArray();
  out.Fixed(0.0, 2);
  out.Fixed(1.005, 2);  // binary 1.00499...: printf's rounding
  out.Fixed(-12.5, 0);
  out.Fixed(123456789.125, 3);
  out.RawValue("[1,2]", 5, rapidjson::kArrayType);
  out.EndArray();
  EXPECT_EQ(text_of(buffer), "[\n0.00,\n1.00,\n-12,\n123456789.125,\n[1,2]\n]");
}

}  // namespace
}  // namespace base
