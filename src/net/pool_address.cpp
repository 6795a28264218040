#include "net/pool_address.h"

#include <algorithm>
#include <cctype>

namespace net {
namespace {

bool equals_ignoring_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

base::status split_pool_scheme(std::string_view address, pool_scheme& out) {
  out = pool_scheme();
  const size_t slashes = address.find("//");
  if (slashes == std::string_view::npos) {
    out.rest = address;
    return base::status::ok();
  }
  // Everything before "//" is the scheme; its trailing ':' is optional, as
  // the address rules always dropped whatever stood before "//".
  std::string_view scheme = address.substr(0, slashes);
  if (!scheme.empty() && scheme.back() == ':') scheme.remove_suffix(1);
  out.rest = address.substr(slashes + 2);
  static constexpr std::string_view kPlain[] = {"", "stratum+tcp", "tcp"};
  static constexpr std::string_view kTls[] = {"stratum+ssl", "stratum+tls", "ssl", "tls"};
  for (std::string_view name : kPlain) {
    if (equals_ignoring_case(scheme, name)) return base::status::ok();
  }
  for (std::string_view name : kTls) {
    if (equals_ignoring_case(scheme, name)) {
      out.transport = pool_transport::tls;
      return base::status::ok();
    }
  }
  std::string error = "unsupported scheme ";
  error.append(scheme);
  error += "://";
  return base::status::error(base::status_code::kUnsupported, std::move(error));
}

bool split_host_port(std::string_view host_port, std::string_view& host, std::string_view& port) {
  size_t colon = 0;
  if (!host_port.empty() && host_port.front() == '[') {
    const size_t close = host_port.find(']');
    if (close == std::string_view::npos || close + 1 >= host_port.size() || host_port[close + 1] != ':')
      return false;
    host = host_port.substr(1, close - 1);
    colon = close + 1;
  } else {
    colon = host_port.find(':');
    if (colon == std::string_view::npos) return false;
    host = host_port.substr(0, colon);
  }
  port = host_port.substr(colon + 1);
  return true;
}

std::string_view pool_host(std::string_view host_port) {
  std::string_view host;
  std::string_view port;
  if (split_host_port(host_port, host, port)) return host;
  return host_port.substr(0, host_port.find(':'));
}

}  // namespace net
