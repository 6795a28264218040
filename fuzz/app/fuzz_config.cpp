// Arbitrary settings through read_options: the bytes before the first NUL
// are command-line arguments (one per line), the rest is the config file
// that --config names. The file comes from memory, so nothing is read from
// or written to disk (read_options opens no log file).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/command_line.h"
#include "app/config.h"
#include "app/config_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t split = input.find('\0');
  const std::string_view arguments = split == std::string_view::npos ? std::string_view() : input.substr(0, split);
  const std::string_view file = split == std::string_view::npos ? input : input.substr(split + 1);

  std::vector<std::string> words = {"orbeck-vega", "--config=fuzz.json"};
  size_t start = 0;
  while (start < arguments.size() && words.size() < 34) {
    size_t end = arguments.find('\n', start);
    if (end == std::string_view::npos) end = arguments.size();
    words.emplace_back(arguments.substr(start, end - start));
    start = end + 1;
  }
  std::vector<const char*> argv;
  for (const std::string& word : words) argv.push_back(word.c_str());

  const app::config_loader from_memory = [file](const std::string& path, app::config_file& out) {
    return app::parse_config_text(file, path, out);
  };
  app::config c;
  const app::options_result result =
      app::read_options(static_cast<int>(argv.size()), argv.data(), c, from_memory);
  // A rejected input always says why.
  if (result.rejected && result.error.empty()) __builtin_trap();
  if (!result.rejected && !result.version) app::parse_gpu_list(result.gpu_text, c.gpu_list);
  return 0;
}
