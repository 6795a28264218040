// Bearer-token checks for the remote access server. Pure functions; any
// thread.
#pragma once

#include <string_view>

#include "remote/micro_httpd.h"

namespace network {

// True when given equals expected. The time taken depends only on the
// length of expected, so a client cannot find the token byte by byte.
bool constant_time_equal(std::string_view given, std::string_view expected);

// True when the request's Authorization header is "Bearer <token>" (the
// scheme in any case, spaces or tabs before the token). An empty token
// authorises nothing.
bool bearer_authorized(const header_map& headers, std::string_view token);

}  // namespace network
