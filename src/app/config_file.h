// The config file (--config FILE): one JSON object whose keys are the long
// options' names with their values, and "pools" for the pool list. Parsing
// only turns the file into option arguments and pool entries; the option
// parser then applies them under the command line. Any thread; no state.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/status.h"

namespace app {

// One entry of "pools": {"url", "user", "pass", "tls-fingerprint"}.
struct file_pool {
  std::string url;
  std::string url_place;  // "PATH:LINE:COLUMN" of its "url" key, for messages
  std::optional<std::string> user;
  std::optional<std::string> password;
  std::optional<std::string> tls_fingerprint;
};

struct config_file {
  // "--name=value" or "--name" (a switch set to true), in file order.
  std::vector<std::string> arguments;
  std::vector<file_pool> pools;  // empty when the file has no "pools"
  // "PATH:LINE:COLUMN" of each top-level key, so a value refused later can
  // be named where it stands.
  std::map<std::string, std::string> places;
};

// What a key's value must be and how it becomes an argument.
enum class file_value {
  kSwitch,    // true or false; false leaves the switch off
  kInteger,   // a whole number within int32
  kUnsigned,  // a whole number within uint32
  kNumber,    // any finite number
  kText,      // a string; an empty one is the same as no key
  kIntegerOrText,  // a whole number within int32, or a string (the option parser checks it)
  kList,      // a whole number, a string, or an array of whole numbers ("0,1,2")
};

struct file_key {
  const char* name;
  file_value value;
};

// Every key the file may hold besides "pools".
const std::vector<file_key>& config_file_keys();

// Parses text as the content of the file named path (path only appears in
// messages). kInvalidInput with one line "PATH:LINE:COLUMN: ..." naming the
// key where one is involved.
base::status parse_config_text(std::string_view text, const std::string& path, config_file& out);

// Reads path (at most 1 MiB) and parses it. A path that is not a regular
// file (a FIFO, a device, a directory) is refused without being opened
// (kInvalidInput, as is a file too large); a file that cannot be opened or
// read is kIoError. The message is the one line the program prints.
base::status read_config_file(const std::string& path, config_file& out);

// Line and column (both from 1, the column in bytes) of a byte offset.
struct text_position {
  size_t line = 1;
  size_t column = 1;
};
text_position position_of(std::string_view text, size_t offset);

}  // namespace app
