// Where a socket records its errors: the connection that owns it. The first
// error of a connection wins; later ones are dropped by the owner. Any thread.
#pragma once

#include <string_view>

namespace net {

class socket_owner {
 public:
  // Records `text` as the connection's error unless one was recorded first.
  virtual void set_error(std::string_view text) = 0;
  // The same with `prefix` followed by the system's text for errno `code`.
  virtual void set_system_error(const char* prefix, int code) = 0;

 protected:
  ~socket_owner() = default;
};

}  // namespace net
