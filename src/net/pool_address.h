// The scheme of a pool address. "host:port" ("[address]:port" for an IPv6
// address), "stratum+tcp://host:port" and
// "tcp://host:port" are plain TCP; "stratum+ssl://", "stratum+tls://",
// "ssl://" and "tls://" are TLS. Schemes are case-insensitive; any other is
// refused. What follows the scheme keeps the socket layer's own rules. Pure
// functions; any thread.
#pragma once

#include <string>
#include <string_view>

#include "base/status.h"

namespace net {

enum class pool_transport { plain, tls };

struct pool_scheme {
  pool_transport transport = pool_transport::plain;
  std::string_view rest;  // the address after the scheme (a view into the input)
};

// Splits the scheme off `address` into `out`. For a scheme this build does
// not speak: kUnsupported, "unsupported scheme <scheme>://".
base::status split_pool_scheme(std::string_view address, pool_scheme& out);

// Splits "host:port" or "[address]:port" (an IPv6 address in brackets) into
// the host, without brackets, and the port: everything after the ':' that
// follows the host. False when there is no such ':' (also for a '[' without
// its ']' right before the ':').
bool split_host_port(std::string_view host_port, std::string_view& host, std::string_view& port);

// The host of "host:port" or "[address]:port", without brackets; for text
// without a port, everything before the first ':'.
std::string_view pool_host(std::string_view host_port);

}  // namespace net
