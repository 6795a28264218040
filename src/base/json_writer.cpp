#include "base/json_writer.h"

#include <cstdio>

#include "base/json_text.h"

namespace base {

void tabbed_json_writer::LineBreak() {
  os_->Put('\n');
  for (size_t i = 0; i < open_objects_; ++i) os_->Put('\t');
}

void tabbed_json_writer::LayoutPrefix(rapidjson::Type) {
  if (level_stack_.GetSize() == 0) {
    hasRoot_ = true;
    return;
  }
  Level* level = level_stack_.Top<Level>();
  if (level->inArray) {
    if (level->valueCount > 0) os_->Put(',');
    LineBreak();
  } else if (level->valueCount % 2 == 1) {  // the value after a key
    os_->Put(':');
    os_->Put(' ');
  } else {  // a key
    if (level->valueCount > 0) os_->Put(',');
    LineBreak();
  }
  ++level->valueCount;
}

bool tabbed_json_writer::Null() {
  LayoutPrefix(rapidjson::kNullType);
  return WriteNull();
}

bool tabbed_json_writer::Bool(bool value) {
  LayoutPrefix(value ? rapidjson::kTrueType : rapidjson::kFalseType);
  return WriteBool(value);
}

bool tabbed_json_writer::Int(int value) {
  LayoutPrefix(rapidjson::kNumberType);
  return WriteInt(value);
}

bool tabbed_json_writer::Uint(unsigned value) {
  LayoutPrefix(rapidjson::kNumberType);
  return WriteUint(value);
}

bool tabbed_json_writer::Int64(int64_t value) {
  LayoutPrefix(rapidjson::kNumberType);
  return WriteInt64(value);
}

bool tabbed_json_writer::Uint64(uint64_t value) {
  LayoutPrefix(rapidjson::kNumberType);
  return WriteUint64(value);
}

bool tabbed_json_writer::Fixed(double value, int decimals) {
  char text[352];  // the longest double in %f with up to 16 decimals fits
  const int length = std::snprintf(text, sizeof(text), "%.*f", decimals, value);
  if (length < 0 || static_cast<size_t>(length) >= sizeof(text)) return false;
  return RawValue(text, static_cast<size_t>(length), rapidjson::kNumberType);
}

bool tabbed_json_writer::String(const Ch* text, rapidjson::SizeType length, bool) {
  LayoutPrefix(rapidjson::kStringType);
  // The escapes of json_text (lower-case \u00xx), so every document the
  // program writes escapes alike.
  char sequence[6];
  os_->Put('"');
  for (rapidjson::SizeType i = 0; i < length; ++i) {
    const size_t count = json_escape_sequence(static_cast<unsigned char>(text[i]), sequence);
    for (size_t j = 0; j < count; ++j) os_->Put(sequence[j]);
  }
  os_->Put('"');
  return true;
}

bool tabbed_json_writer::StartObject() {
  LayoutPrefix(rapidjson::kObjectType);
  new (level_stack_.Push<Level>()) Level(false);
  ++open_objects_;
  return WriteStartObject();
}

bool tabbed_json_writer::EndObject(rapidjson::SizeType) {
  level_stack_.Pop<Level>(1);
  --open_objects_;
  LineBreak();
  WriteEndObject();
  if (level_stack_.Empty()) os_->Flush();
  return true;
}

bool tabbed_json_writer::StartArray() {
  LayoutPrefix(rapidjson::kArrayType);
  new (level_stack_.Push<Level>()) Level(true);
  return WriteStartArray();
}

bool tabbed_json_writer::EndArray(rapidjson::SizeType) {
  level_stack_.Pop<Level>(1);
  // Even an empty array closes on a line of its own.
  LineBreak();
  WriteEndArray();
  if (level_stack_.Empty()) os_->Flush();
  return true;
}

bool tabbed_json_writer::RawValue(const Ch* json, size_t length, rapidjson::Type type) {
  LayoutPrefix(type);
  return WriteRawValue(json, length);
}

}  // namespace base
