// Feeds arbitrary header blocks to parse_request and checks what it accepts:
// a method from the table, a path and header names and values free of the
// separators, and the same result when the parsed request is written again
// and parsed a second time. Checks the bearer-token decision on the parsed
// Authorization header against a separately written reading of it, the
// constant-time comparison against ==, and to_text's length line.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "remote/bearer_auth.h"
#include "remote/micro_httpd.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

bool has_any(const std::string& text, const char* characters) {
  return text.find_first_of(characters) != std::string::npos;
}

bool trimmed(const std::string& text) {
  return text.empty() || (!std::isspace(static_cast<unsigned char>(text.front())) &&
                          !std::isspace(static_cast<unsigned char>(text.back())));
}

constexpr std::string_view kToken = "farm-token";

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// The Authorization header read another way: scheme up to the first blank,
// credentials after the run of blanks that follows it.
void check_authorization(const network::header_map& headers) {
  const auto found = headers.find("AUTHORIZATION");
  if (found == headers.end()) {
    check(!network::bearer_authorized(headers, kToken));
    return;
  }
  const std::string& value = found->second;
  const size_t blank = value.find_first_of(" \t");
  const bool bearer = blank != std::string::npos && lower(value.substr(0, blank)) == "bearer";
  const size_t start = bearer ? value.find_first_not_of(" \t", blank) : std::string::npos;
  const std::string credentials = start == std::string::npos ? "" : value.substr(start);
  check(network::bearer_authorized(headers, kToken) == (bearer && credentials == kToken));
  // The credentials the client sent are what authorises it, and nothing else.
  if (bearer && !credentials.empty()) {
    check(network::bearer_authorized(headers, credentials));
    check(!network::bearer_authorized(headers, credentials + "x"));
    check(!network::bearer_authorized(headers, credentials.substr(1)));
  }
  check(!network::bearer_authorized(headers, ""));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The server never parses more than one request buffer.
  if (size > network::kRequestBufferSize) return 0;
  const std::string text(reinterpret_cast<const char*>(data), size);
  // Any two strings compare as == does.
  const std::string_view first(text.data(), size / 2);
  const std::string_view second(text.data() + size / 2, size - size / 2);
  check(network::constant_time_equal(first, second) == (first == second));
  check(network::constant_time_equal(first, first));
  std::string method, path;
  network::header_map headers;
  if (!network::parse_request(text, method, path, headers)) {
    check(method.empty());
    return 0;
  }

  bool known = false;
  for (std::string_view m : network::kMethods) known = known || method == m;
  check(known);
  check(!path.empty() && !has_any(path, " \t\r\n"));
  check_authorization(headers);

  std::string again = method + " " + path + " HTTP/1.1\r\n";
  for (const auto& [name, value] : headers) {
    check(!has_any(name, ":\r\n") && trimmed(name));
    for (char c : name) check(!std::islower(static_cast<unsigned char>(c)));
    check(!has_any(value, "\r\n") && trimmed(value));
    again += name + ": " + value + "\r\n";
  }
  again += "\r\n";

  std::string method2, path2;
  network::header_map headers2;
  check(network::parse_request(again, method2, path2, headers2));
  check(method2 == method && path2 == path && headers2 == headers);

  network::response_record response;
  response.body = path;
  const std::string wire = network::to_text(response);
  check(wire.size() >= response.body.size() &&
        wire.compare(wire.size() - path.size(), path.size(), path) == 0);
  check(wire.find("Content-Length: " + std::to_string(path.size()) + "\r\n\r\n") !=
        std::string::npos);
  return 0;
}
