// Feeds arbitrary header blocks to parse_request and checks what it accepts:
// a method from the table, a path and header names and values free of the
// separators, and the same result when the parsed request is written again
// and parsed a second time. Also checks to_text's length line.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The server never parses more than one request buffer.
  if (size > network::kRequestBufferSize) return 0;
  const std::string text(reinterpret_cast<const char*>(data), size);
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
