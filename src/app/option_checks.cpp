#include "app/option_checks.h"

#include <cctype>
#include <cstdint>
#include <set>
#include <vector>

#include "app/config.h"
#include "net/pool_address.h"

namespace app {
namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string_view trim_blanks(std::string_view text) {
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
  return text;
}

// A whole decimal integer with an optional '-', within [low, high].
bool read_integer(std::string_view text, int64_t low, int64_t high, int64_t& value) {
  if (text.empty()) return false;
  const bool negative = text.front() == '-';
  if (negative) text.remove_prefix(1);
  if (text.empty() || text.size() > 12) return false;
  int64_t magnitude = 0;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    magnitude = magnitude * 10 + (c - '0');
  }
  value = negative ? -magnitude : magnitude;
  return value >= low && value <= high;
}

// The comma-separated entries of text, blanks around each removed.
std::vector<std::string_view> entries(std::string_view text) {
  std::vector<std::string_view> out;
  for (;;) {
    const size_t comma = text.find(',');
    out.push_back(trim_blanks(text.substr(0, comma)));
    if (comma == std::string_view::npos) return out;
    text.remove_prefix(comma + 1);
  }
}

}  // namespace

std::string port_rule(int64_t port, bool zero_picks_one) {
  if (port >= 1 && port <= 65535) return "";
  if (zero_picks_one) return port == 0 ? "" : "the port must be 1 to 65535 (0 picks a free one)";
  return "the port must be 1 to 65535";
}

std::string gpu_list_rule(const std::string& text) {
  if (trim_blanks(text).empty()) return "";
  const char* expected = "expected GPU indices of 0 or more separated by commas, e.g. 0,1,2";
  std::set<int64_t> seen;
  for (std::string_view entry : entries(text)) {
    if (entry.empty()) return "an empty GPU index (two commas in a row, or one at an end)";
    // Blank-separated indices ("0 1") read as a list too.
    while (!entry.empty()) {
      const size_t blank = entry.find_first_of(" \t");
      int64_t index = 0;
      if (!read_integer(entry.substr(0, blank), 0, INT32_MAX, index)) return expected;
      if (!seen.insert(index).second) return "GPU " + std::to_string(index) + " is listed twice";
      entry = blank == std::string_view::npos ? std::string_view() : trim_blanks(entry.substr(blank));
    }
  }
  return "";
}

std::string intensity_rule(const std::string& text) {
  if (trim_blanks(text).empty()) return "";
  for (std::string_view entry : entries(text)) {
    int64_t level = 0;
    if (!read_integer(entry, -1, 12, level))
      return "each level must be -1 (automatic) or 0 to 12, separated by commas";
  }
  return "";
}

std::string pool_address_rule(std::string_view host_port) {
  std::string_view host;
  std::string_view port;
  if (!net::split_host_port(host_port, host, port)) {
    if (!host_port.empty() && host_port.front() == '[')
      return "expected [address]:port for an IPv6 address";
    return "no port: give host:port, or [address]:port for an IPv6 address";
  }
  if (port.find(':') != std::string_view::npos)
    return "an IPv6 address goes in brackets: [address]:port";
  if (host.empty()) return "no host before the port";
  int64_t number = 0;
  if (!read_integer(port, 1, 65535, number)) return "the port must be 1 to 65535";
  return "";
}

std::string cpu_threads_rule(std::string_view text, int32_t& threads) {
  const std::string_view value = trim_blanks(text);
  if (value == "auto") {
    threads = kCpuThreadsAuto;
    return "";
  }
  int64_t count = 0;
  if (!read_integer(value, 0, 255, count)) return "it must be auto or a thread count of 0 (off) to 255";
  threads = static_cast<int32_t>(count);
  return "";
}

}  // namespace app
