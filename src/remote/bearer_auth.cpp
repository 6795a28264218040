#include "remote/bearer_auth.h"

#include <cctype>
#include <cstdint>

namespace network {
namespace {

constexpr std::string_view kBearer = "bearer";

bool is_blank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

bool constant_time_equal(std::string_view given, std::string_view expected) {
  // Every byte of expected is compared with some byte of given, whatever
  // either holds; only the accumulated difference decides.
  uint8_t difference = given.size() == expected.size() ? 0 : 1;
  const size_t given_size = given.empty() ? 1 : given.size();
  for (size_t i = 0; i < expected.size(); ++i) {
    const uint8_t mine = given.empty() ? 0 : static_cast<uint8_t>(given[i % given_size]);
    difference |= static_cast<uint8_t>(mine ^ static_cast<uint8_t>(expected[i]));
  }
  return difference == 0;
}

bool bearer_authorized(const header_map& headers, std::string_view token) {
  if (token.empty()) return false;
  const auto found = headers.find("AUTHORIZATION");
  if (found == headers.end()) return false;
  std::string_view value = found->second;
  if (value.size() <= kBearer.size() || !is_blank(value[kBearer.size()])) return false;
  for (size_t i = 0; i < kBearer.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(value[i])) != kBearer[i]) return false;
  }
  value.remove_prefix(kBearer.size());
  while (!value.empty() && is_blank(value.front())) value.remove_prefix(1);
  return constant_time_equal(value, token);
}

}  // namespace network
