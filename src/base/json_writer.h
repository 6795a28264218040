// JSON text written through RapidJSON's Writer in the layout of the
// program's statistics document: one member or element per line, indented
// by one tab per open object (arrays add none), `"key": value`, strings
// escaped as base/json_text does, fixed-decimal numbers where asked for.
// Use it as a Writer (StartObject, Key, Uint, ..., EndObject); only the
// calls declared here are laid out. One thread at a time.
#pragma once

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace base {

class tabbed_json_writer : public rapidjson::Writer<rapidjson::StringBuffer> {
 public:
  using Base = rapidjson::Writer<rapidjson::StringBuffer>;

  explicit tabbed_json_writer(rapidjson::StringBuffer& out) : Base(out) {}

  bool Null();
  bool Bool(bool value);
  bool Int(int value);
  bool Uint(unsigned value);
  bool Int64(int64_t value);
  bool Uint64(uint64_t value);
  // `value` printed as "%.*f" with `decimals` digits after the point.
  bool Fixed(double value, int decimals);
  // Shortest round-trip doubles are not part of this layout: use Fixed.
  bool Double(double value) = delete;
  bool RawNumber(const Ch* text, rapidjson::SizeType length, bool copy = false) = delete;

  bool String(const Ch* text, rapidjson::SizeType length, bool copy = false);
  bool String(std::string_view text) { return String(text.data(), static_cast<rapidjson::SizeType>(text.size())); }
  bool String(const Ch* text) { return String(std::string_view(text)); }
  bool Key(const Ch* text, rapidjson::SizeType length, bool copy = false) { return String(text, length, copy); }
  bool Key(std::string_view text) { return String(text); }
  bool Key(const Ch* text) { return String(std::string_view(text)); }

  bool StartObject();
  bool EndObject(rapidjson::SizeType member_count = 0);
  bool StartArray();
  bool EndArray(rapidjson::SizeType element_count = 0);
  // Already formatted JSON of the given type, written as it is.
  bool RawValue(const Ch* json, size_t length, rapidjson::Type type);

 private:
  // What goes before a value: the separator, the line break and indent of
  // a member or element, or ": " after a key.
  void LayoutPrefix(rapidjson::Type type);
  void LineBreak();

  size_t open_objects_ = 0;
};

}  // namespace base
