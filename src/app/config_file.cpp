#include "app/config_file.h"

#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>
#include <rapidjson/stream.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <set>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace app {
namespace {

constexpr size_t kMaxFileBytes = 1 << 20;
// Deeper documents are refused before they are built: nothing in the file
// nests more than three levels, and the tree below is freed recursively.
constexpr int kMaxDepth = 16;

// The in-place string stream, without the reader's copy of it inside string
// parsing (that copy would hide the position from the handler's Tell()).
struct located_stream : rapidjson::InsituStringStream {
  using rapidjson::InsituStringStream::InsituStringStream;
};

// A parsed JSON value with the byte offsets of its object keys.
struct json_node {
  enum class type { kNull, kBool, kInteger, kNumber, kString, kArray, kObject };
  type kind = type::kNull;
  bool boolean = false;
  int64_t integer = 0;   // kInteger (every whole number that fits int64)
  double number = 0;     // kInteger and kNumber
  std::string text;      // kString
  size_t offset = 0;     // of the '[' or '{' for arrays and objects
  std::vector<json_node> items;     // array items, or object member values
  std::vector<std::string> keys;    // object member names, parallel to items
  std::vector<size_t> key_offsets;  // offset of each name's opening quote
};

// Builds a json_node tree from the reader's events.
class tree_builder : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, tree_builder> {
 public:
  tree_builder(located_stream& stream, std::string_view text)
      : stream_(stream), text_(text) {}

  bool Null() { return add(json_node{}); }
  bool Bool(bool value) {
    json_node n;
    n.kind = json_node::type::kBool;
    n.boolean = value;
    return add(std::move(n));
  }
  bool Int(int value) { return Int64(value); }
  bool Uint(unsigned value) { return Int64(value); }
  bool Int64(int64_t value) {
    json_node n;
    n.kind = json_node::type::kInteger;
    n.integer = value;
    n.number = static_cast<double>(value);
    return add(std::move(n));
  }
  bool Uint64(uint64_t value) {
    if (value <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
      return Int64(static_cast<int64_t>(value));
    return Double(static_cast<double>(value));
  }
  bool Double(double value) {
    json_node n;
    n.kind = json_node::type::kNumber;
    n.number = value;
    return add(std::move(n));
  }
  bool String(const char* text, rapidjson::SizeType length, bool) {
    json_node n;
    n.kind = json_node::type::kString;
    n.text.assign(text, length);
    return add(std::move(n));
  }
  bool StartObject() { return open(json_node::type::kObject); }
  bool Key(const char* text, rapidjson::SizeType length, bool) {
    json_node& object = *open_.back();
    object.keys.emplace_back(text, length);
    object.key_offsets.push_back(opening_quote());
    last_key_ = object.keys.back();
    return true;
  }
  bool EndObject(rapidjson::SizeType) {
    open_.pop_back();
    return true;
  }
  bool StartArray() { return open(json_node::type::kArray); }
  bool EndArray(rapidjson::SizeType) {
    open_.pop_back();
    return true;
  }

  json_node root;
  bool too_deep = false;
  size_t too_deep_offset = 0;  // of the bracket that went too deep
  std::string last_key_;  // the last key read, for messages about malformed text

 private:
  bool add(json_node node) {
    if (open_.empty()) {
      root = std::move(node);
    } else {
      open_.back()->items.push_back(std::move(node));
    }
    return true;
  }
  bool open(json_node::type kind) {
    // The reader has just consumed the bracket.
    const size_t offset = stream_.Tell() == 0 ? 0 : stream_.Tell() - 1;
    if (static_cast<int>(open_.size()) >= kMaxDepth) {
      too_deep = true;
      too_deep_offset = offset;
      return false;
    }
    json_node n;
    n.kind = kind;
    n.offset = offset;
    add(std::move(n));
    // Only the newest child of an open node is ever open, so this pointer
    // stays valid until the child is closed.
    open_.push_back(open_.empty() ? &root : &open_.back()->items.back());
    return true;
  }
  // The reader has just consumed a key's closing quote: find its opening one.
  size_t opening_quote() {
    size_t end = stream_.Tell();
    if (end == 0) return 0;
    size_t i = end - 1;  // the closing quote
    while (i > 0) {
      --i;
      if (text_[i] != '"') continue;
      size_t slashes = 0;
      while (slashes < i && text_[i - 1 - slashes] == '\\') ++slashes;
      if (slashes % 2 == 0) return i;
    }
    return 0;
  }

  located_stream& stream_;
  std::string_view text_;
  std::vector<json_node*> open_;
};

const char* type_name(const json_node& n) {
  switch (n.kind) {
    case json_node::type::kNull: return "null";
    case json_node::type::kBool: return "a boolean";
    case json_node::type::kInteger: return "an integer";
    case json_node::type::kNumber: return "a number";
    case json_node::type::kString: return "a string";
    case json_node::type::kArray: return "an array";
    case json_node::type::kObject: return "an object";
  }
  return "a value";
}

// Checks one value against what its key needs and appends its argument:
// ok, or kInvalidInput with the problem (which the caller places).
base::status convert(const file_key& key, const json_node& n, std::vector<std::string>& arguments) {
  const std::string option = std::string("--") + key.name;
  const auto wrong = [](std::string problem) {
    return base::status::error(base::status_code::kInvalidInput, std::move(problem));
  };
  const auto whole_in = [&n](double low, double high) {
    return n.kind == json_node::type::kInteger && n.number >= low && n.number <= high;
  };
  switch (key.value) {
    case file_value::kSwitch:
      if (n.kind != json_node::type::kBool)
        return wrong(std::string("expected true or false, not ") + type_name(n));
      if (n.boolean) arguments.push_back(option);
      return base::status::ok();
    case file_value::kInteger:
      if (n.kind != json_node::type::kInteger)
        return wrong(std::string("expected an integer, not ") + type_name(n));
      if (!whole_in(std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()))
        return wrong("the integer " + std::to_string(n.integer) + " is out of range");
      arguments.push_back(option + "=" + std::to_string(n.integer));
      return base::status::ok();
    case file_value::kUnsigned:
      if (n.kind != json_node::type::kInteger)
        return wrong(std::string("expected an integer, not ") + type_name(n));
      if (!whole_in(0, std::numeric_limits<uint32_t>::max()))
        return wrong("the integer " + std::to_string(n.integer) + " is out of range");
      arguments.push_back(option + "=" + std::to_string(n.integer));
      return base::status::ok();
    case file_value::kNumber: {
      if (n.kind != json_node::type::kInteger && n.kind != json_node::type::kNumber)
        return wrong(std::string("expected a number, not ") + type_name(n));
      if (!std::isfinite(n.number)) return wrong("the number is out of range");
      char text[64];
      snprintf(text, sizeof(text), "%.17g", n.number);
      arguments.push_back(option + "=" + text);
      return base::status::ok();
    }
    case file_value::kIntegerOrText:
      if (n.kind == json_node::type::kString) {
        if (n.text.empty()) return wrong("the string is empty");
        arguments.push_back(option + "=" + n.text);
        return base::status::ok();
      }
      if (n.kind != json_node::type::kInteger)
        return wrong(std::string("expected an integer or a string, not ") + type_name(n));
      if (!whole_in(std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()))
        return wrong("the integer " + std::to_string(n.integer) + " is out of range");
      arguments.push_back(option + "=" + std::to_string(n.integer));
      return base::status::ok();
    case file_value::kText:
      if (n.kind != json_node::type::kString)
        return wrong(std::string("expected a string, not ") + type_name(n));
      if (!n.text.empty()) arguments.push_back(option + "=" + n.text);
      return base::status::ok();
    case file_value::kList: {
      if (n.kind == json_node::type::kString) {
        if (!n.text.empty()) arguments.push_back(option + "=" + n.text);
        return base::status::ok();
      }
      if (n.kind == json_node::type::kInteger) {
        if (!whole_in(std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()))
          return wrong("the integer " + std::to_string(n.integer) + " is out of range");
        arguments.push_back(option + "=" + std::to_string(n.integer));
        return base::status::ok();
      }
      if (n.kind != json_node::type::kArray)
        return wrong(std::string("expected an integer, a string or an array of integers, not ") +
                     type_name(n));
      if (n.items.empty()) return wrong("the array is empty");
      std::string joined;
      for (const json_node& item : n.items) {
        if (item.kind != json_node::type::kInteger ||
            !(item.number >= std::numeric_limits<int32_t>::min() &&
              item.number <= std::numeric_limits<int32_t>::max()))
          return wrong(std::string("expected an array of integers, found ") + type_name(item));
        if (!joined.empty()) joined += ',';
        joined += std::to_string(item.integer);
      }
      arguments.push_back(option + "=" + joined);
      return base::status::ok();
    }
  }
  return wrong("unsupported value");
}

// Makes the failures of one file's parse: kInvalidInput with the message
// placed at its line and column.
class problem_writer {
 public:
  problem_writer(std::string_view text, const std::string& path) : text_(text), path_(path) {}
  base::status at(size_t offset, const std::string& message) const {
    return base::status::error(base::status_code::kInvalidInput, place(offset) + ": " + message);
  }
  base::status key(size_t offset, const std::string& key, const std::string& message) const {
    return at(offset, "key \"" + key + "\": " + message);
  }
  std::string place(size_t offset) const {
    const text_position p = position_of(text_, offset);
    return path_ + ":" + std::to_string(p.line) + ":" + std::to_string(p.column);
  }

 private:
  std::string_view text_;
  const std::string& path_;
};

base::status read_pools(const json_node& list, size_t list_key_offset,
                        const problem_writer& problem, std::vector<file_pool>& pools) {
  if (list.kind != json_node::type::kArray)
    return problem.key(list_key_offset, "pools", std::string("expected an array of pool objects, not ") +
                                                     type_name(list));
  if (list.items.empty()) return problem.key(list_key_offset, "pools", "the pool list is empty");
  for (size_t i = 0; i < list.items.size(); ++i) {
    const json_node& entry = list.items[i];
    const std::string where = "pools[" + std::to_string(i) + "]";
    if (entry.kind != json_node::type::kObject)
      return problem.key(list_key_offset, "pools",
                         where + " must be an object with \"url\", not " + type_name(entry));
    file_pool pool;
    bool have_url = false;
    std::set<std::string> seen;
    for (size_t m = 0; m < entry.keys.size(); ++m) {
      const std::string& name = entry.keys[m];
      const size_t offset = entry.key_offsets[m];
      const json_node& value = entry.items[m];
      if (!seen.insert(name).second) return problem.key(offset, name, "given twice in " + where);
      std::optional<std::string>* field = nullptr;
      if (name == "url") {
        have_url = true;
      } else if (name == "user") {
        field = &pool.user;
      } else if (name == "pass") {
        field = &pool.password;
      } else if (name == "tls-fingerprint") {
        field = &pool.tls_fingerprint;
      } else {
        return problem.key(offset, name,
                           "unknown key in " + where + " (known: url, user, pass, tls-fingerprint)");
      }
      if (value.kind != json_node::type::kString)
        return problem.key(offset, name, std::string("expected a string, not ") + type_name(value));
      if (field == nullptr) {
        if (value.text.empty()) return problem.key(offset, name, "the pool address is empty");
        pool.url = value.text;
        pool.url_place = problem.place(offset);
      } else {
        *field = value.text;
      }
    }
    if (!have_url) return problem.at(entry.offset, where + " has no \"url\"");
    pools.push_back(std::move(pool));
  }
  return base::status::ok();
}

}  // namespace

const std::vector<file_key>& config_file_keys() {
  static const std::vector<file_key> keys = {
      {"opencl", file_value::kInteger},        {"gpu", file_value::kList},
      {"log", file_value::kText},              {"user", file_value::kText},
      {"password", file_value::kText},         {"reconnects", file_value::kInteger},
      {"algo", file_value::kIntegerOrText},      {"nonicehash", file_value::kSwitch},
      {"remoteaccess", file_value::kSwitch},   {"remoteport", file_value::kUnsigned},
      {"intensity", file_value::kList},        {"fastjobswitch", file_value::kSwitch},
      {"ratewatchdog", file_value::kSwitch},   {"maxmem", file_value::kSwitch},
      {"forcecompute", file_value::kSwitch},   {"buildkernel", file_value::kSwitch},
      {"nicehash", file_value::kSwitch},       {"xgroupsize", file_value::kInteger},
      {"xnumqueues", file_value::kInteger},    {"anydevice", file_value::kSwitch},
      {"noselftest", file_value::kSwitch},     {"benchmark", file_value::kInteger},
      {"tls-fingerprint", file_value::kText},  {"primary-retry", file_value::kInteger},
      {"keepalive", file_value::kInteger},     {"autotune", file_value::kSwitch},
      {"temp-limit", file_value::kNumber},     {"temp-resume", file_value::kNumber},
      {"remotehost", file_value::kText},       {"remotetoken", file_value::kText},
      {"cpu-threads", file_value::kIntegerOrText},
  };
  return keys;
}

text_position position_of(std::string_view text, size_t offset) {
  text_position p;
  if (offset > text.size()) offset = text.size();
  for (size_t i = 0; i < offset; ++i) {
    if (text[i] == '\n') {
      ++p.line;
      p.column = 1;
    } else {
      ++p.column;
    }
  }
  return p;
}

base::status parse_config_text(std::string_view text, const std::string& path, config_file& out) {
  out = config_file{};
  const problem_writer problem(text, path);
  // The reader decodes strings in place in a copy of the text, so its own
  // stack (whose first use computes an end from a null pointer) is never
  // touched; nesting is bounded by the builder, so the recursive reader is.
  const size_t nul = text.find('\0');
  if (nul != std::string_view::npos) return problem.at(nul, "the file contains a NUL byte");
  // The encoding check takes a multi-byte sequence's continuation bytes
  // without looking for the end: a truncated one at the end of the text reads
  // on into this padding, fails there and ends the parse.
  std::string copy(text);
  copy.append(8, '\0');
  located_stream stream(copy.data());
  tree_builder builder(stream, text);
  rapidjson::Reader reader;
  constexpr unsigned kFlags = rapidjson::kParseInsituFlag | rapidjson::kParseValidateEncodingFlag;
  const rapidjson::ParseResult parsed = reader.Parse<kFlags>(stream, builder);
  if (parsed.IsError()) {
    const std::string after =
        builder.last_key_.empty() ? std::string() : " (after key \"" + builder.last_key_ + "\")";
    if (builder.too_deep)
      return problem.at(builder.too_deep_offset, "values nested deeper than " + std::to_string(kMaxDepth) +
                                             " levels" + after);
    return problem.at(parsed.Offset(), std::string("malformed JSON: ") +
                                           rapidjson::GetParseError_En(parsed.Code()) + after);
  }
  const json_node& root = builder.root;
  if (root.kind != json_node::type::kObject)
    return problem.at(0, std::string("the file must hold one JSON object, not ") + type_name(root));

  std::set<std::string> seen;
  for (size_t m = 0; m < root.keys.size(); ++m) {
    const std::string& name = root.keys[m];
    const size_t offset = root.key_offsets[m];
    if (!seen.insert(name).second) return problem.key(offset, name, "given twice");
    out.places[name] = problem.place(offset);
    if (name == "pools") {
      if (base::status read = read_pools(root.items[m], offset, problem, out.pools); !read)
        return read;
      continue;
    }
    if (name == "pool") return problem.key(offset, name, "the pool list is \"pools\": [{\"url\": ...}]");
    const file_key* key = nullptr;
    for (const file_key& candidate : config_file_keys()) {
      if (name == candidate.name) key = &candidate;
    }
    if (key == nullptr) return problem.key(offset, name, "unknown key");
    if (const base::status converted = convert(*key, root.items[m], out.arguments); !converted)
      return problem.key(offset, name, converted.message());
  }
  return base::status::ok();
}

base::status read_config_file(const std::string& path, config_file& out) {
  const auto io_error = [&](const char* what, int error) {
    return base::status::from_errno(error, path + ": " + what + " the config file");
  };
  // Looked at before it is opened: opening a FIFO for reading would wait for
  // a writer, a device could do anything.
  struct stat info = {};
  if (::stat(path.c_str(), &info) != 0) {
    return io_error("cannot open", errno);
  }
  const base::status not_regular = base::status::error(
      base::status_code::kInvalidInput, path + ": the config file is not a regular file");
  if (!S_ISREG(info.st_mode)) return not_regular;
  // Not blocking either, and checked again, in case the path was replaced
  // in between.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return io_error("cannot open", errno);
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return not_regular;
  }
  FILE* file = ::fdopen(fd, "rb");
  if (file == nullptr) {
    const int error = errno;
    ::close(fd);
    return io_error("cannot open", error);
  }
  std::string text;
  char buffer[8192];
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof(buffer), file)) > 0 && text.size() <= kMaxFileBytes)
    text.append(buffer, got);
  const bool failed = std::ferror(file) != 0;
  const int saved = errno;
  std::fclose(file);
  if (failed) return io_error("cannot read", saved);
  if (text.size() > kMaxFileBytes) {
    return base::status::error(base::status_code::kInvalidInput,
                               path + ": the config file is larger than 1 MiB");
  }
  return parse_config_text(text, path, out);
}

}  // namespace app
