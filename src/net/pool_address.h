// The scheme of a pool address. "host:port", "stratum+tcp://host:port" and
// "tcp://host:port" are plain TCP; "stratum+ssl://", "stratum+tls://",
// "ssl://" and "tls://" are TLS. Schemes are case-insensitive; any other is
// refused. What follows the scheme keeps the socket layer's own rules. Pure
// functions; any thread.
#pragma once

#include <string>
#include <string_view>

namespace net {

enum class pool_transport { plain, tls };

struct pool_scheme {
  pool_transport transport = pool_transport::plain;
  std::string_view rest;  // the address after the scheme (a view into the input)
};

// Splits the scheme off `address`. False, with `error` set to
// "unsupported scheme <scheme>://", for a scheme this build does not speak.
bool split_pool_scheme(std::string_view address, pool_scheme& out, std::string& error);

// The host part of "host:port" (everything before the first ':').
std::string_view pool_host(std::string_view host_port);

}  // namespace net
